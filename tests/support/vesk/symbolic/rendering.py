"""Stand-in for the package's object formatting as far as the native
renderer goes: the `child_fields` policy it hands to `_render_object_fast`,
and the package's own renderer of the same text, which tests use as the
oracle and benchmarks as the plain-Python way."""

import vesk_core._native as native

_LEAVES = (int, float, bool, str, type(None))


def child_fields(value):
    """The fields of a nested value that may be rendered natively: a
    constructed object's live field dictionary, a record's cells by name;
    None for anything else (containers, blank objects, foreign values)."""
    if isinstance(value, native.SymObject):
        return native._native_object_inline_fields(value)
    names = getattr(type(value), "__slot_field_names__", None)
    if names is not None:
        return native._slot_record_inline_fields(value, list(names))   # None: blank
    return None


class Declined(Exception):
    pass


def render(obj, name, compact, root_indent, fields_of=child_fields):
    """The call-like text of `obj`, or None where the package falls back to
    its full formatter."""
    if type(compact) is not bool or type(root_indent) is not int:
        return None
    if not -(2**63) <= root_indent < 2**63:
        return None
    fields = obj.field_dict() if isinstance(obj, native.SymObject) else fields_of(obj)
    if fields is None:
        return None
    out = []
    try:
        _level(out, name, fields, compact, root_indent, fields_of, 0)
    except Declined:
        return None
    return "".join(out)


def _level(out, name, fields, compact, level, fields_of, depth):
    out.append(f"{name}(")
    if not fields:
        out.append(")")
        return
    sep, eq = (", ", "=") if compact else (",\n", " = ")
    if not compact:
        out.append("\n")
    for i, (key, value) in enumerate(fields.items()):
        if i:
            out.append(sep)
        if not compact:
            out.append("  " * max(level + 1, 0))
        out.append(str.__str__(key) if isinstance(key, str) else str(key))
        out.append(eq)
        if value is None or type(value) in _LEAVES:
            out.append(repr(value))
            continue
        if depth > 99:
            raise Declined
        nested = fields_of(value)
        if nested is None:
            raise Declined
        if type(nested) is not dict and not isinstance(nested, dict):
            raise TypeError("child_fields must return a dict or None")
        _level(out, type(value).__name__, nested, compact, level + 1, fields_of, depth + 1)
    if not compact:
        out.append("\n" + "  " * max(level, 0))
    out.append(")")


def rebind(obj, updates):
    """The package's rebinding: every write made unchecked, then one
    notification of all the field updates they made."""
    made = []
    for key, value in updates.items():
        update = native._native_object_set_item_no_check(obj, key, value)
        if update is not None:
            made.append(update)
    if made:
        obj._notify_field_updates(made)
    return made
