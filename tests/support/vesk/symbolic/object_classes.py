"""Stand-in for the package's symbolic object classes, as far as the native
node state goes: the object base composed over `SymObject`, the class
creation that gives a class its options, fields, schemas, hook flags and
field properties, and record classes that forward their topology methods to
the module's node-state functions.

Objects construct natively (`SymObject.__init__`); tests that need an
object as construction leaves it without running it fill a blank object's
fields through the test seams."""

import types

import vesk_core._native as native
from vesk.symbolic import jsonify, objects, records
from vesk.symbolic.objects import _Defaults


def options(topo=True, attr_write=True, frozen=False, attr_read=False):
    """A class's `__sym_options__`."""
    return types.SimpleNamespace(topo=topo, attr_write=attr_write, frozen=frozen,
                                 attr_read=attr_read)


# The hooks whose override the class creation records as `_sym_*` flags.
_HOOK_FLAGS = {
    "_sym_post_init_overridden": "on_sym_post_init",
    "_sym_bound_overridden": "on_sym_bound",
    "_sym_preinit_overridden": "on_sym_preinit",
    "_sym_validate_overridden": "on_sym_validate",
}


class Object(native.SymObject):
    """The package's object base: its default hooks (the ones the object
    bridge's defaults are) and the class facts of a class without fields."""

    __sym_options__ = options()
    enable_topo = True
    sym_fields = None
    __schema__ = None
    _sym_init_fields = ()
    _non_symbolic_fields = ()
    _sym_attrs_builder = None
    _sym_alias_maps = None
    _sym_ready_is_noop = True
    __extra_ignore__ = False
    __serialization_key__ = "vesk.symbolic.Object"
    sym_jsonify = jsonify.sym_jsonify

    on_topo_parent_change = _Defaults._on_topo_parent_change
    _update_children_paths = _Defaults._update_children_paths
    on_topo_path_change = _Defaults._on_topo_path_change
    sym_missing = _Defaults._sym_missing
    sym_puresymbolic = _Defaults.__dict__["sym_puresymbolic"]
    sym_values = _Defaults.sym_values

    def on_sym_post_init(self):
        pass

    def on_sym_bound(self):
        pass

    @classmethod
    def on_sym_preinit(cls, kwargs):
        return kwargs

    def on_sym_validate(self):
        pass

    def sym_clone(self, deep=False, memo=None):
        raise NotImplementedError("cloning an object needs its construction")

    def _notify_field_updates(self, updates):
        self.__dict__.setdefault("notified", []).extend(updates)


def _field(name, spec):
    """A field named `name`: `spec` itself when it is a field already."""
    if isinstance(spec, native.Field):
        return spec
    return native.Field(native.ConstStrKey(name), spec)


def object_class(name, fields=(), *, topo=True, attr_write=True, frozen=False, base=Object,
                 namespace=None, non_symbolic=(), aliases=None, extra_ignore=None,
                 compiled=True, allow_nonconst_keys=False, slots=False, native_slots=None,
                 **record_options):
    """An object class with the fields `(name, value_spec or Field)` after
    those of `base`, made the way the package makes one: its options, its
    schemas, its init fields, its hook flags, and a property per field that
    reads it natively (`SymFieldGetter`) in a class that keeps a tree and
    does not override `sym_inferred`, else through `_topo_field`.

    `non_symbolic` lists `(name, value)` pairs seeded as plain attributes;
    `aliases` maps keyword aliases to field names; `compiled=False` records
    no init fields (`_sym_init_fields` None), so construction always
    validates through the init schema; `allow_nonconst_keys` lets a field
    with a non-constant key accept every other keyword. With `native_slots`
    the class gets the native `tp_init` and the fast `tp_getattro` (the
    generic one where the fields are not all read natively). `slots=True`
    makes a record class instead (record_objects.record_object_class), with
    its native slots unless `native_slots` is False."""
    if slots:
        from vesk.symbolic import record_objects
        namespace = dict(namespace or {})
        if aliases is not None:
            namespace["_sym_alias_maps"] = (dict(aliases), {v: k for k, v in aliases.items()})
        if extra_ignore is not None:
            namespace["__extra_ignore__"] = extra_ignore
        return record_objects.record_object_class(
            name, fields, topo=topo, attr_write=attr_write, frozen=frozen,
            base=None if base is Object else base, namespace=namespace,
            non_symbolic=dict(non_symbolic), native_slots=native_slots is not False,
            **record_options)
    namespace = dict(namespace or {})
    namespace.setdefault("__serialization_key__", f"tests.{name}")
    own = [(n, _field(n, spec)) for n, spec in fields]
    init_fields = list(base._sym_init_fields or ()) + own
    schema = native.Schema([f for _, f in init_fields], allow_nonconst_keys=allow_nonconst_keys)
    namespace.update(
        __sym_options__=options(topo, attr_write, frozen),
        enable_topo=topo,
        sym_fields=native.Dict(schema),
        __schema__=schema,
        _sym_init_fields=init_fields if compiled else None,
        _non_symbolic_fields=tuple(base._non_symbolic_fields) + tuple(non_symbolic),
    )
    if aliases is not None:
        namespace["_sym_alias_maps"] = (dict(aliases), {v: k for k, v in aliases.items()})
    if extra_ignore is not None:
        namespace["__extra_ignore__"] = extra_ignore
    cls = type(name, (base,), namespace)
    for flag, hook in _HOOK_FLAGS.items():
        setattr(cls, flag, _defined(cls, hook) is not vars(Object)[hook])
    cls._sym_ready_is_noop = _defined(cls, "on_sym_ready") is None
    native_reads = topo and "sym_inferred" not in namespace
    for field_name, _ in own:
        getter = native.SymFieldGetter(field_name) if native_reads else _python_getter(field_name)
        setattr(cls, field_name, property(getter))
    if native_slots:
        native._install_native_tp_init(cls)
        if native_reads:
            native._install_native_tp_getattro_fast(cls)
        else:
            native._install_native_tp_getattro(cls)
    return cls


def _defined(cls, name):
    """The class attribute `name` as defined (no descriptor bound), or None."""
    return next((vars(k)[name] for k in cls.__mro__ if name in vars(k)), None)


def _python_getter(name):
    def read(self):
        return self._topo_field(name)
    read.__name__ = name
    return read


class RecordNode:
    """What the package's record classes add over their record type: the
    topology methods, forwarded to the module's node-state functions, the
    topology requirement and the default hooks."""

    __slots__ = ()

    on_topo_parent_change = _Defaults._on_topo_parent_change
    on_topo_path_change = _Defaults._on_topo_path_change
    sym_jsonify = jsonify.sym_jsonify

    def _update_children_paths(self, old, new):
        for name in type(self).__slot_symbolic_field_names__:
            child = getattr(self, name)
            if hasattr(type(child), "topo_setpath"):
                child.topo_setpath(native.KeyPath(name, new))

    def topo_setparent(self, parent):
        native._node_setparent(self, parent)

    def topo_setpath(self, path):
        native._node_setpath(self, path)

    def sym_setorigin(self, source, tag, stacktrace=None, stacklimit=None, stacktop=-1):
        native._node_setorigin(self, source, tag, stacktrace, stacklimit, stacktop)

    def sym_seal(self, is_seal=True):
        native._node_seal(self, is_seal)
        return self

    def sym_clone(self, deep=False, memo=None):
        raise NotImplementedError("cloning a record needs its construction")

    def _require_topo(self, operation):
        if not type(self).enable_topo:
            raise objects.SymbolicModeError(
                f"`{operation}` requires a symbolic tree, but {type(self).__name__} was "
                "declared with `topo=False`. Declare the class with `topo=True` to use it.")

    @property
    def _sym_attributes(self):
        """The materialised view (role 6); materialising is not native yet."""
        view = native._probe_node_get(self, 6)
        if view is None:
            raise AttributeError("_sym_attributes")
        return view


def node_record_class(name, fields, *, namespace=None, **kwargs):
    """A `slots=True` class (records.record_class) with the topology
    methods of `RecordNode`."""
    namespace = dict(namespace or {})
    namespace.setdefault("__serialization_key__", f"tests.{name}")
    for attr, value in vars(RecordNode).items():
        if not attr.startswith("__"):
            namespace.setdefault(attr, value)
    return records.record_class(name, fields, namespace=namespace, **kwargs)
