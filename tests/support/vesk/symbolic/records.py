"""Stand-in for the package's class creation of `slots=True` classes, as far
as the record heap types go: one record type per class, made by the kernel,
with the class's topology mode and non-symbolic fields baked into its field
descriptors, and a Python class over it that carries the class facts."""

import vesk_core._native as native


def record_class(name, fields, *, topo=True, non_symbolic=(), parent=None, reserved=None,
                 namespace=None):
    """A `slots=True` class with the inline cells `fields` (after those of
    `parent`, another class made here). `reserved` defaults to the
    production count for a root class and to none for a subclass, whose
    node state lives in its root's cells."""
    fields = list(fields)
    own_symbolic = [f for f in fields if f not in non_symbolic]
    if parent is None:
        reserved = native._kernel_topology_reserved() if reserved is None else reserved
        record = native._kernel_make_record(name, fields, reserved, topo)
        all_fields, symbolic = fields, own_symbolic
    else:
        record = native._kernel_make_record_subtype(
            parent.__record_type__, name, fields, reserved or 0, topo)
        all_fields = list(parent.__slot_field_names__) + fields
        symbolic = list(parent.__slot_symbolic_field_names__) + own_symbolic
    native._kernel_set_record_enable_topo(record, topo)
    native._kernel_set_record_field_kinds(record, list(non_symbolic))
    namespace = dict(namespace or {})
    namespace.setdefault("__slots__", ())
    namespace.update(
        __record_type__=record,
        __slot_field_names__=all_fields,
        __slot_symbolic_field_names__=symbolic,
        __slot_storage__=True,
        enable_topo=topo,
    )
    return type(name, (record,), namespace)
