"""The package's JSON wire form of symbolic trees, written plainly: the
default object `sym_jsonify` (installed as the module's default hook) and
the serializer it stands on. Tests use `to_json` as the oracle of the
native walk: for every tree the walk accepts it must answer exactly this,
key order included ("_type" first, then the schema's field order, missing
and frozen fields left out)."""

import vesk_core._native as native

MISSING_TYPE = type(native.missing_value_singleton())
MISSING_KEY = "vesk.topology._missing.MissingValue"
MARKERS = ("_type", "__ref__", "__root__", "__tuple__", "__context__")


def is_marker_like(value):
    """A str the wire format would read back as one of its markers."""
    if not isinstance(value, str) or not value or value[0] not in "_\\":
        return False
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        return True
    return value.lstrip("\\") in MARKERS


def escape(value):
    """How the package keeps a marker-like string a plain string."""
    return "\\" + value if is_marker_like(value) else value


def sym_jsonify(self, **kwargs):
    """The object base's own hook: the object form of `self`."""
    fields, schema = _object_fields(self)
    return _dict_form({"_type": type(self).__serialization_key__}, fields, schema)


def to_json(value):
    t = type(value)
    if value is None or t in (int, float, str, bool):
        return value
    if t is MISSING_TYPE:
        return {"_type": MISSING_KEY}
    if isinstance(value, native.SymObject) or getattr(t, "__slot_storage__", False):
        return value.sym_jsonify()
    if isinstance(value, native.SymDict):
        return _dict_form({}, value, bound_schema(value))
    if isinstance(value, (native.SymList, list)):
        return _list_form(list(value) if t is list else value.sym_values())
    if t is tuple:
        return ["__tuple__"] + [to_json(v) for v in value]
    if t is dict:
        return _dict_form({}, value, None)
    if hasattr(t, "infer"):
        return to_json(value.infer())
    raise TypeError(f"{t.__name__} has no JSON form")


def bound_schema(d):
    spec = d._value_spec
    return None if spec is None else spec.schema


def _list_form(items):
    out = [to_json(v) for v in items]
    if out and is_marker_like(out[0]):
        out[0] = escape(out[0])
    return out


def _object_fields(obj):
    if isinstance(obj, native.SymObject):
        fields = obj.field_dict()
        if fields is None:
            view = obj._sym_attributes
            return view, bound_schema(view)
        return fields, type(obj).__schema__
    view = native._probe_node_get(obj, 6)
    if view is not None:
        return view, bound_schema(view)
    return {n: getattr(obj, n) for n in type(obj).__slot_field_names__}, type(obj).__schema__


def _dict_form(out, d, schema):
    items = list(dict.items(d))  # the storage itself: nothing resolved
    if schema is None:
        for k, v in items:
            out[escape(k)] = to_json(v)
        return out
    const = {key.text for key in schema.keys() if key.is_const}
    named = set()
    for key, field in schema.fields.items():
        if key.is_const:
            named.add(key.text)
            if field.frozen or key.text not in d:
                continue
            chosen = [(key.text, dict.__getitem__(d, key.text))]
        elif field.frozen:
            continue
        else:
            chosen = [(k, v) for k, v in items if k not in const and k not in named]
            named.update(k for k, _ in chosen)
        for k, v in chosen:
            if type(v) is not MISSING_TYPE:
                out[escape(k)] = to_json(v)
    # Entries no field names still travel, after the schema's own.
    for k, v in items:
        if k not in named and type(v) is not MISSING_TYPE:
            out[escape(k)] = to_json(v)
    return out
