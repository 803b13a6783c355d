"""Stand-in for the package's `slots=True` object classes: a record heap
type per class holding the fields in inline cells, composed with the
package's record base (`RecordObject`), given the same class facts as a
dictionary-layout class, and carrying the native record `tp_init` and
`tp_getattro` slots."""

import vesk_core._native as native
from vesk.symbolic import object_classes
from vesk.symbolic.object_classes import RecordNode, options


class RecordObject(RecordNode):
    """The package's record base: the default construction hooks and the
    node-state and view properties, read through the record seams."""

    __slots__ = ()
    __extra_ignore__ = False
    _sym_alias_maps = None

    def on_sym_post_init(self):
        pass

    def _notify_field_updates(self, updates):
        pass

    @property
    def _topo_path(self):
        return native._slot_record_node_read(self, 1)

    @property
    def _topo_parent(self):
        return native._slot_record_node_read(self, 0)

    @property
    def _sealed(self):
        return native._slot_record_node_read(self, 2)

    @property
    def _sym_attributes(self):
        return native._slot_record_materialize(self, type(self).__slot_field_names__)

    def _update_children_paths(self, old, new):
        native._slot_record_repath_children(self, new)


def _without_clone():
    """The record base without `sym_clone`, as a package may leave it out:
    its records keep a tree but are not symbolic."""
    left_out = {"sym_clone", "__dict__", "__weakref__", "__module__", "__qualname__", "__doc__"}
    namespace = {k: v for base in (RecordNode, RecordObject) for k, v in vars(base).items()
                 if k not in left_out}
    return type("RecordObjectWithoutClone", (), namespace)


def record_object_class(name, fields=(), *, topo=True, attr_write=True, frozen=False, base=None,
                        namespace=None, non_symbolic=None, symbolic=None, native_slots=True,
                        clonable=True):
    """A `slots=True` class with the fields `(name, value_spec[, assign])`
    after those of `base` (another class made here). `non_symbolic` maps the names of
    non-symbolic fields (cells outside the schema) to the values seeded at
    construction; `symbolic` names the fields whose values are adopted (all
    init fields by default); `clonable=False` leaves `sym_clone` out."""
    namespace = dict(namespace or {})
    namespace.setdefault("__serialization_key__", f"tests.{name}")
    non_symbolic = dict(non_symbolic or {})
    own = [(n, native.Field(native.ConstStrKey(n), spec, assign=assign[0] if assign else None))
           for n, spec, *assign in fields]
    init_fields = list(base._sym_init_fields if base else []) + own
    schema = native.Schema([f for _, f in init_fields])
    cells = [n for n, _ in own] + list(non_symbolic)
    if base is None:
        record = native._kernel_make_record(name, cells, native._kernel_topology_reserved(), topo)
        bases = (record, RecordObject if clonable else _without_clone())
    else:
        record = native._kernel_make_record_subtype(base.__record_type__, name, cells, 0, topo)
        bases = (record, base)
    native._kernel_set_record_enable_topo(record, topo)
    native._kernel_set_record_field_kinds(record, list(non_symbolic))
    init_names = [n for n, _ in init_fields]
    inherited = dict(base._non_symbolic_fields) if base else {}
    namespace.update(
        __slots__=(),
        __record_type__=record,
        __slot_storage__=True,
        __slot_field_names__=init_names,
        __slot_symbolic_field_names__=init_names if symbolic is None else list(symbolic),
        __sym_options__=options(topo, attr_write, frozen),
        enable_topo=topo,
        sym_fields=native.Dict(schema),
        __schema__=schema,
        _sym_init_fields=init_fields,
        _non_symbolic_fields=tuple({**inherited, **non_symbolic}.items()),
    )
    cls = type(name, bases, namespace)
    for _, field in own:
        field.set_origin(cls)
    cls._sym_post_init_is_noop = (
        object_classes._defined(cls, "on_sym_post_init") is vars(RecordObject)["on_sym_post_init"])
    if native_slots:
        native._install_native_record_tp_init(cls)
        native._install_native_record_tp_getattro(cls)
    return cls
