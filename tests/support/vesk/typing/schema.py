"""Key specs, fields and schemas as the package builds them through the
bridge, plus its schema-merge policy.

The native classes are used where the module has them; the plain Python
classes here stand in for the ones that do not exist yet, with just the
behaviour that value specs rely on (apply, fields, values, extend, equality).
"""

import abc
import re

import vesk_core._native as native


def _native(name):
    return getattr(native, name, None)


class KeySpec(abc.ABC):
    """The package's key-spec interface; native key specs register as its
    virtual subclasses."""

    @classmethod
    def from_str(cls, text):
        const = _native("ConstStrKey") or ConstStrKey
        return const(text)


class ConstStrKey(KeySpec):
    __vesk_str_key__ = True

    def __init__(self, text):
        self.text = text

    is_const = True

    def match(self, key):
        return key == self.text

    def __eq__(self, other):
        if isinstance(other, ConstStrKey):
            return self.text == other.text
        return isinstance(other, str) and self.text == other

    def __hash__(self):
        return hash(self.text)

    def __str__(self):
        return self.text

    def __repr__(self):
        return repr(self.text)


class StrKey(KeySpec):
    """Any str key, or only those matching `regex`."""

    is_const = False

    def __init__(self, regex=None):
        self.regex = re.compile(regex) if isinstance(regex, str) else regex

    def match(self, key):
        return isinstance(key, str) and (self.regex is None or bool(self.regex.match(key)))

    def __eq__(self, other):
        return isinstance(other, StrKey) and self.regex == other.regex

    def __hash__(self):
        return hash((StrKey, self.regex))

    def __repr__(self):
        return "StrKey()" if self.regex is None else f"StrKey(regex={self.regex.pattern!r})"


for _name in ("ConstStrKey", "StrKey", "ListKey", "TupleKey"):
    if _native(_name) is not None:
        KeySpec.register(_native(_name))


def _key_of(key):
    return KeySpec.from_str(key) if isinstance(key, str) else key


class Field:
    """A key spec, a value spec and a description."""

    def __init__(self, key, value, description=None, metadata=None):
        self.key = _key_of(key)
        if not isinstance(self.key, KeySpec):
            raise AssertionError(self.key)
        self.value = value
        self.description = description
        self.metadata = dict(metadata or {})

    def apply(self, value, allow_partial=False, transform_fn=None, root_path=None, inplace=True):
        return self.value.apply(
            value,
            allow_partial=allow_partial,
            child_transform=transform_fn,
            root_path=root_path,
        )

    def extend(self, base_field):
        self.value.extend(base_field.value)
        if self.description is None:
            self.description = base_field.description
        return self

    def __eq__(self, other):
        if not isinstance(other, Field):
            return NotImplemented
        return (self.key, self.value, self.description) == (
            other.key,
            other.value,
            other.description,
        )

    __hash__ = None

    def __repr__(self):
        return f"Field(key={self.key!r}, value={self.value!r})"


class Schema:
    """Ordered fields of a dict, by key spec."""

    def __init__(self, fields, name=None, description=None, allow_nonconst_keys=False):
        items = fields.items() if isinstance(fields, dict) else fields
        self.fields = {}
        for item in items:
            if not isinstance(item, Field):
                key, value = item[0], item[1]
                item = Field(key, value, *item[2:])
            self.fields[item.key] = item
        self.name = name
        self.description = description
        self.allow_nonconst_keys = allow_nonconst_keys
        self._const_bulk_check = None

    def values(self):
        return list(self.fields.values())

    def get_field(self, key):
        for key_spec, field in self.fields.items():
            if key_spec.match(key):
                return field
        return None

    def apply(self, dict_obj, allow_partial=False, child_transform=None, root_path=None,
              respect_raw_storage=None, inplace=True):
        del respect_raw_storage
        out = dict_obj if inplace else dict(dict_obj)
        for key_spec, field in self.fields.items():
            if getattr(key_spec, "is_const", False):
                key = str(key_spec)
                value = out.get(key, native.missing_value_singleton())
                path = native.KeyPath(key, root_path)
                applied = field.apply(value, allow_partial, child_transform, path)
                out[key] = applied
        for key in list(out):
            if any(ks.match(key) for ks in self.fields if not getattr(ks, "is_const", False)):
                field = self.get_field(key)
                out[key] = field.apply(
                    out[key], allow_partial, child_transform, native.KeyPath(key, root_path)
                )
            elif self.get_field(key) is None:
                raise KeyError(f"Key {key!r} is not allowed. (path={root_path})")
        return out

    def extend(self, base):
        merged = dict(base.fields)
        for key, field in self.fields.items():
            merged[key] = field.extend(merged[key]) if key in merged else field
        self.fields = merged
        return self

    def is_compatible(self, other):
        return all(k in self.fields for k in other.fields)

    def __eq__(self, other):
        if not isinstance(other, Schema):
            return NotImplemented
        return list(self.fields.items()) == list(other.fields.items())

    __hash__ = None

    def __repr__(self):
        return f"Schema({list(self.fields.values())!r})"


def _spec_of(entry):
    """(key, annotation or spec, ...) with the annotation turned into a spec,
    as the package does before it makes a field."""
    from vesk.typing.annotation import ValueSpec

    key, value, *rest = entry
    if not isinstance(value, ValueSpec):
        value = ValueSpec.from_annotation(value, auto_typing=True)
    return (key, value, *rest)


def create_schema(fields, allow_nonconst_keys=False, name=None):
    schema_cls = _native("Schema") or Schema
    if isinstance(fields, dict):
        fields = list(fields.items())
    field_cls = _native("Field") or Field
    made = [f if isinstance(f, field_cls) else field_cls(*_spec_of(f)) for f in fields]
    return schema_cls(made, name=name, allow_nonconst_keys=allow_nonconst_keys)


def make_field_merge_fn(allow_nonconst_keys, base_name):
    """The merge of one key's field: the own field extends the base one."""

    del allow_nonconst_keys, base_name  # the schema itself refuses non-constant keys

    def merge(key, base_field, own_field):
        if own_field is None:
            return base_field
        if base_field is None:
            return own_field
        return own_field.extend(base_field)

    return merge


def topology_merge(parts, merge_fn=None):
    """Merges [base, own]: field dicts key by key through `merge_fn`, or
    metadata dicts (own entries win) when no merge function is given."""
    base, own = parts
    if merge_fn is None:
        merged = dict(base or {})
        merged.update(own or {})
        return merged
    merged = {}
    for key in list(base) + [k for k in own if k not in base]:
        merged[key] = merge_fn(key, base.get(key), own.get(key))
    return merged


def default_without_apply(value_spec, allow_partial):
    """The value a missing key gets when its field is not validated."""
    del allow_partial
    return getattr(value_spec, "default", native.missing_value_singleton())
