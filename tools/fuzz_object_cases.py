"""Hostile cases for the symbolic object and record layer and the kernel's
type slots, built on the surface fuzzer's case library (fuzz_cases); the
whole surface's operations are SURFACE_OPS.

Every example builds its classes afresh (a hook may rewrite a class's schema
or options), made the way the package makes them (the stand-in package in
tests/support), so the native construction, attribute, node-state, JSON and
rendering roads run on real objects and records as well as on blank objects,
forged records and foreign values. Hooks (construction hooks, a field's
transform and validator, `sym_jsonify`, `child_fields`) run the actions the
example drew against the objects and classes being processed.
"""

import gc
import sys
import threading

from hypothesis import strategies as st

import fuzz_cases as fc
import vesk_core._native as native

KeyPath = native.KeyPath


def ensure_bridges():
    """The stand-in package's bridges, installed once per process (a test
    session has installed them already)."""
    import vesk.symbolic
    import vesk.typing
    for install in (vesk.typing.install, vesk.symbolic.install):
        try:
            install()
        except Exception:
            pass  # first installation wins


def _pkg():
    from vesk.symbolic import jsonify, object_classes, rendering
    return object_classes, rendering, jsonify


# --- hooks acting on what is being processed ------------------------------------


class Hooks(threading.local):
    def __init__(self):
        self.actions = ()
        self.targets = []
        self.depth = 0
        self.budget = 0


HOOKS = Hooks()

ACTION_NAMES = ["write", "delete", "reinit", "schema", "options", "recompute", "validator", "offsets", "meta",
                "json", "render", "clone", "node", "seal", "gc", "raise", "wrong"]


def _cls_of(t):
    return t if isinstance(t, type) else type(t)


def _new_schema(cls):
    fields = [native.Field(native.ConstStrKey("a"), native.Int(default=1)),
              native.Field(native.ConstStrKey("zz"), native.Any(default=None))]
    return native.Schema(fields)


def _act(name, t, n):
    cls = _cls_of(t)
    inst = None if isinstance(t, type) else t
    oc, rendering, _ = _pkg()
    if name == "write" and inst is not None:
        [lambda: setattr(inst, "a", [inst, n]), lambda: setattr(inst, "b", n),
         lambda: setattr(inst, "l", [n] * 3), lambda: setattr(inst, "a", inst),
         lambda: native._native_object_set_item_no_check(inst, "a", {"x": inst})][n % 5]()
    elif name == "delete" and inst is not None:
        [lambda: delattr(inst, "a"), lambda: vars(inst).clear(),
         lambda: native._kernel_generic_delattr(inst, "b"),
         lambda: vars(inst).pop("_sym_attributes", None)][n % 4]()
    elif name == "reinit" and inst is not None:
        [lambda: cls.__init__(inst, a=n), lambda: cls.__init__(inst),
         lambda: native._slot_record_construct(inst, list(getattr(cls, "__slot_field_names__", ["a"])),
                                               {"a": n})][n % 3]()
    elif name == "schema":
        schema = _new_schema(cls)
        [lambda: setattr(cls, "__schema__", schema),
         lambda: setattr(cls, "_sym_init_fields", [("a", schema.fields[native.ConstStrKey("a")])]),
         lambda: setattr(cls, "sym_fields", native.Dict(schema)),
         lambda: setattr(cls, "_sym_init_fields", None),
         lambda: setattr(cls, "__slot_field_names__", ["zz", "a", 5]),
         lambda: setattr(cls, "__schema__", None)][n % 6]()
    elif name == "options":
        [lambda: setattr(cls, "__sym_options__", oc.options(topo=bool(n % 2), frozen=True)),
         lambda: setattr(cls, "enable_topo", not cls.enable_topo),
         lambda: setattr(cls, "__sym_options__", None),
         lambda: setattr(cls, "_sym_alias_maps", ({"q": "a"}, {"a": "q"})),
         lambda: setattr(cls, "__extra_ignore__", True)][n % 5]()
    elif name == "offsets":
        offsets = dict(getattr(cls, "__slot_field_offsets__", None) or {"a": 16})
        ranked = sorted(offsets.values())
        [lambda: setattr(cls, "__slot_field_offsets__", dict(zip(offsets, reversed(ranked)))),
         lambda: setattr(cls, "__slot_field_offsets__", {k: v - 8 for k, v in offsets.items()}),
         lambda: setattr(cls, "__slot_field_offsets__", [("a", 16)]),
         lambda: getattr(cls, "__slot_field_offsets__").update(a=fc.IntSub(24), b=2**64 + 16),
         lambda: getattr(cls, "__slot_field_offsets__").clear(),
         lambda: setattr(cls, "__slot_field_offsets__", {k: v + 8 for k, v in offsets.items()})][n % 6]()
    elif name == "meta":
        # Another class's cached construction facts, or none, under this one.
        donor = oc.object_class("Donor", [("zz", native.Any(default=None)), ("a", native.Int(default=0))],
                                slots=bool(n % 2))
        build(donor, {"a": 1})
        for attr in ("__native_ctor_meta__", "__native_record_meta__"):
            value = [vars(donor).get(attr), None, 5][n % 3]
            if value is None and n % 3 == 0:
                continue
            setattr(cls, attr, value)
    elif name == "recompute":
        cls.__schema__._recompute_caches()
    elif name == "validator":
        schema = cls.__schema__
        for field in list(schema.fields.values()):
            field.set_validator(None if n % 2 else (lambda *a: fire()))
        schema._recompute_caches()
    elif name == "json" and inst is not None:
        [lambda: native._native_to_json_walk(inst), lambda: native._native_inline_object_to_json(inst, "ab"),
         lambda: native._native_inline_object_to_json_open(inst)][n % 3]()
    elif name == "render" and inst is not None:
        native._render_object_fast(inst, "X", bool(n % 2), 0, rendering.child_fields)
    elif name == "clone" and inst is not None:
        native._native_object_clone_inline_shallow(inst)
    elif name == "node" and inst is not None:
        [lambda: native._probe_node_set(inst, 1, KeyPath(f"m{n}")), lambda: native._node_setparent(inst, inst),
         lambda: native._probe_node_set(inst, 0, None), lambda: native._node_setpath(inst, None)][n % 4]()
    elif name == "seal" and inst is not None:
        native._node_seal(inst, bool(n % 2))
    elif name == "gc":
        gc.collect(2 if n % 5 == 0 else 0)  # a full collection is slow in a big process


def fire():
    """Runs the example's hook actions on its targets; may raise."""
    if HOOKS.depth > 2 or not HOOKS.actions:
        return None
    HOOKS.depth += 1
    try:
        for name in HOOKS.actions:
            for i, t in enumerate(list(HOOKS.targets)):
                # Hooks fire hooks: a budget per call keeps the cascade small.
                HOOKS.budget -= 1
                if HOOKS.budget < 0:
                    break
                try:
                    _act(name, t, i + HOOKS.depth)
                except Exception:
                    pass
        if "raise" in HOOKS.actions:
            raise fc.Boom("hook")
        if "wrong" in HOOKS.actions:
            return fc.WRONG[len(HOOKS.targets) % len(fc.WRONG)]
    finally:
        HOOKS.depth -= 1
    return None


def _transform(value):
    wrong = fire()
    return value if wrong is None else wrong


def _hook_namespace(record):
    def post_init(self):
        HOOKS.targets.append(self)
        fire()

    def validate(self):
        fire()

    def bound(self):
        fire()

    def preinit(cls, kwargs):
        wrong = fire()
        return kwargs if wrong is None else wrong

    def sym_jsonify(self, **kw):
        wrong = fire()
        if wrong is not None:
            return wrong
        return _pkg()[2].sym_jsonify(self, **kw)

    ns = {"on_sym_post_init": post_init, "sym_jsonify": sym_jsonify}
    if not record:
        ns.update(on_sym_validate=validate, on_sym_bound=bound, on_sym_preinit=classmethod(preinit))
    return ns


# --- classes, objects and records ---------------------------------------------------


def _fields(hooked):
    tf = _transform if hooked else None
    a = native.Field(native.ConstStrKey("a"), native.Any(default=None, transform=tf))
    if hooked:
        a.set_validator(lambda *args: fire())
    return [("a", a), ("b", native.Int(default=0)), ("l", native.List(native.Int(), default=[]))]


def make_object_class(data, hooked):
    oc = _pkg()[0]
    topo = data.draw(st.booleans())
    slots = data.draw(st.sampled_from([None, True, None]))
    ns = _hook_namespace(False) if hooked else {}
    cls = oc.object_class("Obj", _fields(hooked), topo=topo, native_slots=slots,
                          frozen=data.draw(st.sampled_from([False, False, True])), namespace=ns,
                          compiled=data.draw(st.sampled_from([True, True, False])))
    if data.draw(st.integers(0, 4)) == 0:
        cls = type("SubObj", (cls,), {})  # a subclass the class creation never saw
    return cls


def make_record_class(data, hooked):
    oc = _pkg()[0]
    ns = _hook_namespace(True) if hooked else {}
    specs = [("a", native.Any(default=None, transform=_transform if hooked else None)),
             ("b", native.Int(default=0))]
    cls = oc.object_class("Rec", specs, slots=True, namespace=ns, topo=data.draw(st.booleans()),
                          native_slots=data.draw(st.sampled_from([None, False])))
    kind = data.draw(st.integers(0, 5))
    if kind == 0:
        cls = type("RecSub", (cls,), {"__slots__": ("zz",)})  # extra cells the kernel never laid
    elif kind == 1:
        cls = type("RecDict", (cls,), {})  # a __dict__ over the record cells
    return cls


def make_node_record_class(data):
    oc = _pkg()[0]
    return oc.node_record_class("NRec", ["a", "b"], topo=data.draw(st.booleans()))


class Forged:
    """Claims to be a record without the layout of one."""
    __slot_field_offsets__ = (16, 24, 2**62, -8)
    __slot_field_names__ = ["a", "b", "c", "d"]
    __slot_symbolic_field_names__ = ["a"]
    __slot_storage__ = True
    __record_type__ = object
    __schema__ = None
    enable_topo = True
    _sym_init_fields = ()


class ForgedSlots:
    __slots__ = ("a", "b")
    __slot_field_offsets__ = {"a": 0, "b": 10**30}
    __slot_field_names__ = ("a", "b")
    __slot_storage__ = True


class ForgedSym(native.SymObject):
    """A SymObject subclass with none of the class facts."""


class ForgedSymHostile(native.SymObject):
    __schema__ = fc.Evil("raise", {"__iter__", "__len__", "__getitem__"})
    _sym_init_fields = fc.Evil("wrong", {"__iter__", "__len__"})
    sym_fields = 5
    __sym_options__ = fc.Evil("raise", {"__getattr__"})
    __slot_field_names__ = 7
    enable_topo = fc.Evil("raise", {"__bool__"})
    __serialization_key__ = fc.Evil("raise", {"__str__", "__hash__"})


def _blank(cls):
    try:
        return cls.__new__(cls)
    except Exception:
        return object()


def build(cls, kwargs):
    try:
        return cls(**kwargs)
    except Exception:
        return _blank(cls)


def _self_ref_list():
    v = [1]
    v.append(v)
    return v


def field_values(data, depth=0):
    return data.draw(st.one_of(
        fc.values, fc.evils, st.sampled_from(fc.WRONG),
        st.builds(_self_ref_list), st.builds(fc.ListSub, st.lists(st.integers(), max_size=3)),
        st.builds(fc.DictSub, st.dictionaries(fc.texts, st.integers(), max_size=2)),
    ))


def draw_kwargs(data, allow_nested, nested_classes):
    names = data.draw(st.lists(st.sampled_from(["a", "b", "l", "zz", "q", "_topo_path"]),
                               unique=True, max_size=4))
    kw = {}
    for name in names:
        if allow_nested and nested_classes and data.draw(st.integers(0, 2)) == 0:
            inner = data.draw(st.sampled_from(nested_classes))
            kw[name] = build(inner, {"a": data.draw(fc.values)})
        elif name == "b" and data.draw(st.booleans()):
            kw[name] = data.draw(fc.ints)
        else:
            kw[name] = field_values(data)
    return kw


def draw_world(data):
    """The example's classes, hook actions and a few instances."""
    hooked = data.draw(st.booleans())
    actions = tuple(data.draw(st.lists(st.sampled_from(ACTION_NAMES), max_size=3, unique=True))) \
        if hooked else ()
    classes = [make_object_class(data, hooked)]
    if data.draw(st.booleans()):
        classes.append(make_record_class(data, hooked))
    if data.draw(st.integers(0, 3)) == 0:
        classes.append(make_node_record_class(data))
    return hooked, actions, classes


def draw_instance(data, classes, actions):
    kind = data.draw(st.integers(0, 9))
    if kind == 0:
        return _blank(data.draw(st.sampled_from(classes)))
    if kind == 1:
        return data.draw(st.sampled_from([Forged(), ForgedSlots(), _blank(ForgedSym),
                                          _blank(ForgedSymHostile), object(), 5, None,
                                          _blank(native.SymObject)]))
    cls = data.draw(st.sampled_from(classes))
    saved = HOOKS.actions
    HOOKS.actions = ()  # hooks bite later, while the object is processed
    try:
        obj = build(cls, draw_kwargs(data, True, classes))
    finally:
        HOOKS.actions = saved
    shape = data.draw(st.integers(0, 6))
    try:
        if shape == 0:
            obj.a = obj  # a node holding itself
        elif shape == 1:
            inner = build(cls, {})
            obj.a = inner
            inner.a = obj  # two nodes holding each other
        elif shape == 2:
            obj.a = [obj, {"k": obj}]
    except Exception:
        pass
    return obj


ROLES = st.one_of(st.integers(-3, 12), fc.ints, st.builds(fc.IntSub, fc.ints), st.booleans(),
                  st.none(), fc.evils, st.just(1.0))
FIELD_NAMES = st.one_of(
    st.just(["a", "b"]), st.just(["a"]), st.just([]), st.just(["a", "b", "c", "d", "e"]),
    st.lists(fc.texts, max_size=4), st.lists(fc.ints, max_size=2), st.just("ab"), fc.evils,
    st.just(fc.ListSub(["a", "b"])), st.just(("a", "b")), st.just(["b", "a", "a"]), st.none())
PATHS = st.one_of(st.none(), st.just(KeyPath()), st.just(KeyPath("r.s")), fc.texts, fc.evils,
                  st.just(5))


# --- operations ------------------------------------------------------------------------


PRE = st.one_of(st.none(), st.tuples(st.sampled_from(["offsets", "schema", "options", "seal", "node",
                                                     "meta"]),
                                    st.integers(0, 5)))


def _op(name, hooked, actions, targets, a, b, fn, pre=None):
    """The call of an operation; `pre` (action, n) first rewrites the
    class of the first target the way a hook could have."""
    if pre is not None and targets:
        try:
            _act(pre[0], targets[0], pre[1])
        except Exception:
            pass
        name = f"{name} pre={pre}"

    def run():
        HOOKS.actions, HOOKS.targets, HOOKS.budget = actions, list(targets), 60
        try:
            return fn()
        finally:
            HOOKS.actions, HOOKS.targets = (), []
    desc_b = f"{fc.describe(b)} | actions={list(actions)}"
    return [], name, a, desc_b, run


def op_construct(data):
    hooked, actions, classes = draw_world(data)
    cls = data.draw(st.sampled_from(classes + [ForgedSym, ForgedSymHostile]))
    kw = draw_kwargs(data, True, classes)
    which = data.draw(st.integers(0, 7))
    blank = _blank(cls)
    other = draw_instance(data, classes, actions)
    fns = [
        lambda: cls(**kw),
        lambda: cls.__init__(blank, **kw),
        lambda: (cls.__init__(blank, **kw), cls.__init__(blank, **kw)),
        lambda: cls.__init__(other, **kw),   # another class's instance, a foreign value
        lambda: cls(*kw.values()),
        lambda: native._kernel_roundtrip_tp_init(cls),
        lambda: type(other).__init__(blank, **kw),
        lambda: cls(**{**kw, "a": blank}),
    ]
    return _op(f"construct#{which}", hooked, actions, [blank, cls, other], cls.__name__, kw, fns[which], data.draw(PRE))


ATTR_NAMES = st.one_of(st.sampled_from(["a", "b", "l", "zz", "q", "_topo_path", "_topo_parent",
                                        "_sealed", "__dict__", "__class__", "sym_fields",
                                        "_sym_attributes", "__schema__", "nope"]),
                       fc.texts, st.builds(fc.StrSub, fc.texts), fc.evils, st.none(), fc.ints)


def op_attr(data):
    hooked, actions, classes = draw_world(data)
    obj = draw_instance(data, classes, actions)
    name = data.draw(ATTR_NAMES)
    value = data.draw(st.one_of(fc.values, fc.evils, st.just(obj), st.just([obj])))
    which = data.draw(st.integers(0, 8))
    fns = [
        lambda: setattr(obj, name, value), lambda: delattr(obj, name), lambda: getattr(obj, name),
        lambda: native._kernel_generic_setattr(obj, name, value),
        lambda: native._kernel_generic_getattr(obj, name),
        lambda: native._kernel_generic_delattr(obj, name),
        lambda: native._native_object_set_item_no_check(obj, name, value),
        lambda: (setattr(obj, name, value), getattr(obj, name), delattr(obj, name)),
        lambda: setattr(type(obj), name, value) if isinstance(obj, native.SymObject) else None,
    ]
    return _op(f"attr#{which}", hooked, actions, [obj, type(obj)], obj, (name, value), fns[which], data.draw(PRE))


HOSTILE_CLASSES = [int, object, native.SymObject, Forged, ForgedSlots, ForgedSym, ForgedSymHostile,
                   native.KeyPath, type, fc.Evil, dict]


def op_install(data):
    hooked, actions, classes = draw_world(data)
    cls = data.draw(st.sampled_from(classes + HOSTILE_CLASSES + [5, None, "Obj", fc.Evil("raise", {"__eq__"})]))
    # An installation changes its class for the rest of the process: the
    # harness's own classes are only ever changed through a fresh subclass.
    if isinstance(cls, type) and cls in HOSTILE_CLASSES and cls not in (type, int, object, dict):
        try:
            cls = type("Fresh", (cls,), {})
        except TypeError:
            pass
    which = data.draw(st.integers(0, 8))
    name = ["_install_native_tp_init", "_install_native_record_tp_init", "_install_native_tp_getattro",
            "_install_native_tp_getattro_fast", "_kernel_tp_getattro_is_fast",
            "_kernel_tp_getattro_is_native", "_kernel_roundtrip_tp_init", "_container_candidate_fields",
            "_container_wrap_fields"][which]
    kw = draw_kwargs(data, False, [])

    def fn():
        getattr(native, name)(cls)
        if isinstance(cls, type):
            obj = build(cls, kw)
            for attr in ("a", "b", "zz"):
                try:
                    getattr(obj, attr)
                except Exception:
                    pass
    return _op(f"install:{name}", hooked, actions, [cls], getattr(cls, "__name__", cls), kw, fn)


def op_kernel(data):
    which = data.draw(st.integers(0, 11))
    name = data.draw(st.one_of(fc.texts, st.just("R"), fc.evils, st.none()))
    fields = data.draw(FIELD_NAMES)
    reserved = data.draw(st.one_of(st.integers(-2, 8), fc.ints, st.just(native._kernel_topology_reserved()),
                                   fc.evils, st.none()))
    topo = data.draw(st.one_of(st.booleans(), fc.evils, st.none(), fc.ints))
    _, _, classes = draw_world(data)
    base = data.draw(st.sampled_from([c.__record_type__ for c in classes if hasattr(c, "__record_type__")]
                                     + classes + [int, object, Forged, None]))
    target = data.draw(st.sampled_from([base] + classes + HOSTILE_CLASSES))
    obj = draw_instance(data, classes, ())
    fns = [
        lambda: native._kernel_make_record(name, fields, reserved, topo),
        lambda: native._kernel_make_record_subtype(base, name, fields, reserved, topo),
        lambda: native._kernel_set_record_enable_topo(target, topo),
        lambda: native._kernel_set_record_field_kinds(target, fields),
        lambda: native._kernel_record_layout(target),
        lambda: native._kernel_probe_type_layout(target),
        lambda: native._kernel_probe_short_circuit(obj),
        lambda: native._kernel_probe_traverse_visits(obj),
        lambda: native._kernel_is_inferential(obj),
        lambda: _use_record(native._kernel_make_record(name, fields, reserved, topo)),
        lambda: _use_record(native._kernel_make_record_subtype(base, name, fields, reserved, topo)),
        lambda: native._kernel_topology_reserved(),
    ]
    return _op(f"kernel#{which}", False, (), [], (name, fields, reserved, topo),
               getattr(base, "__name__", base), fns[which])


def _use_record(record):
    """A made record type put through its cells and collection."""
    inst = record()
    names = [n for n in dir(inst) if not n.startswith("__")]
    for i, n in enumerate(names):
        try:
            setattr(inst, n, [inst, i])
            getattr(inst, n)
        except Exception:
            pass
    for role in range(-1, 9):
        try:
            native._slot_node_set(inst, role, inst)
            native._slot_node_get(inst, role)
        except Exception:
            pass
    native._kernel_probe_traverse_visits(inst)
    del inst
    gc.collect()


def op_node(data):
    hooked, actions, classes = draw_world(data)
    inst = draw_instance(data, classes, actions)
    role = data.draw(ROLES)
    value = data.draw(st.one_of(fc.values, PATHS, st.just(inst), fc.evils,
                                st.builds(lambda: draw_instance(data, classes, actions))))
    which = data.draw(st.integers(0, 11))
    fns = [
        lambda: native._slot_node_get(inst, role), lambda: native._slot_node_set(inst, role, value),
        lambda: native._slot_node_set_if_absent(inst, role, value),
        lambda: native._probe_node_get(inst, role), lambda: native._probe_node_set(inst, role, value),
        lambda: native._slot_record_node_read(inst, role),
        lambda: native._node_setparent(inst, value), lambda: native._node_setpath(inst, value),
        lambda: native._node_setorigin(inst, value, role, value, role, role),
        lambda: native._node_seal(inst, value),
        lambda: (native._probe_node_set(inst, role, value), native._probe_node_get(inst, role),
                 native._render_object_fast(inst, "N", True, 0, _pkg()[1].child_fields)),
        lambda: (native._node_setparent(inst, inst), native._node_setpath(inst, KeyPath("s")),
                 native._slot_record_repath_children(inst, KeyPath("t"))),
    ]
    return _op(f"node#{which}", hooked, actions, [inst], inst, (role, value), fns[which], data.draw(PRE))


def op_record_fn(data):
    hooked, actions, classes = draw_world(data)
    inst = draw_instance(data, classes, actions)
    names = data.draw(FIELD_NAMES)
    kw = data.draw(st.one_of(st.builds(lambda: draw_kwargs(data, True, classes)), fc.evils, st.none(),
                             st.just([("a", 1)]), st.just({5: 1, "a": 2})))
    flag = data.draw(st.one_of(st.booleans(), st.none(), fc.evils))
    transform = data.draw(st.sampled_from([None, _transform, lambda *a: fire(), 5,
                                           lambda path, field, value: value]))
    path = data.draw(PATHS)
    which = data.draw(st.integers(0, 8))
    fns = [
        lambda: native._slot_record_construct(inst, names, kw, flag, transform, path),
        lambda: native._slot_record_materialize(inst, names),
        lambda: native._slot_record_init_node_state(inst, flag, flag, path),
        lambda: native._slot_record_inline_fields(inst, names),
        lambda: native._slot_record_is_materialized(inst),
        lambda: native._slot_record_adopt_children(inst, names),
        lambda: native._slot_record_repath_children(inst, path),
        lambda: (native._slot_record_materialize(inst, names), setattr(inst, "a", kw),
                 native._slot_record_inline_fields(inst, names), native._slot_record_materialize(inst, names)),
        lambda: (native._slot_record_construct(inst, names, kw, flag, transform, path),
                 native._slot_record_construct(inst, names, kw, flag, transform, path)),
    ]
    return _op(f"record#{which}", hooked, actions, [inst, type(inst)], inst, (names, kw, flag, path),
               fns[which], data.draw(PRE))


def op_object_seam(data):
    hooked, actions, classes = draw_world(data)
    obj = draw_instance(data, classes, actions)
    src = data.draw(st.one_of(st.just(obj), st.builds(lambda: draw_instance(data, classes, actions)),
                              st.none(), fc.evils))
    cls = data.draw(st.sampled_from(classes))
    new = _blank(cls) if data.draw(st.booleans()) else draw_instance(data, classes, actions)
    kw = data.draw(st.one_of(st.builds(lambda: draw_kwargs(data, True, classes)), fc.evils, st.none(),
                             st.just({5: 1})))
    flags = data.draw(st.lists(st.one_of(st.booleans(), st.none(), fc.evils), min_size=3, max_size=3))
    memo = data.draw(st.one_of(st.none(), st.just({}), fc.evils, st.just([])))
    name = data.draw(ATTR_NAMES)  # drawn here: a thunk may be run many times over
    which = data.draw(st.integers(0, 5))
    fns = [
        lambda: native._native_object_inline_fields(obj),
        lambda: native._native_object_clone_construct(new, flags[0], flags[1], kw, src, flags[2], memo),
        lambda: native._native_object_clone_inline_shallow(obj),
        lambda: native._probe_object_is_inline(obj),
        lambda: native._native_object_set_item_no_check(obj, name, kw),
        lambda: (native._native_object_clone_construct(new, flags[0], flags[1], kw, src, flags[2], memo),
                 native._native_to_json_walk(new), new.a),
    ]
    return _op(f"object#{which}", hooked, actions, [obj, new, cls], obj, (kw, flags, src, name), fns[which],
               data.draw(PRE))


JSON_PLANS = st.one_of(st.sampled_from(["ab", "a", "", "abl", "zq", ("a", "b"), ["a", "l"], None, 5]),
                       fc.evils, st.just(fc.ListSub(["a"])), st.just(fc.StrSub("ab")))


def _tree(data, classes, actions):
    obj = draw_instance(data, classes, actions)
    shape = data.draw(st.integers(0, 5))
    if shape == 0:
        return obj
    from vesk.symbolic import containers
    try:
        if shape == 1:
            d = containers.Dict(x=obj, y=[obj])
            return d
        if shape == 2:
            d = containers.Dict(x=1)
            dict.__setitem__(d, "self", d)  # a dict holding itself, stored raw
            return d
        if shape == 3:
            return [obj, (obj, {"k": obj}), fc._self_ref(data.draw(st.integers(0, 3)))]
        if shape == 4:
            return containers.List([obj, obj])
    except Exception:
        pass
    return {"k": obj, 5: obj}


def op_json(data):
    hooked, actions, classes = draw_world(data)
    tree = _tree(data, classes, actions)
    plan = data.draw(JSON_PLANS)
    jv = data.draw(st.one_of(fc.rich_values, st.just(tree), st.dictionaries(fc.texts, fc.values, max_size=3)))
    raw_safe = data.draw(st.one_of(JSON_PLANS, st.booleans()))
    which = data.draw(st.integers(0, 4))
    fns = [
        lambda: native._native_to_json_walk(tree),
        lambda: native._native_inline_object_to_json(tree, plan),
        lambda: native._native_inline_object_to_json_open(tree),
        lambda: native._native_from_json_all_plain(jv, raw_safe),
        lambda: native._native_to_json_walk(native._native_to_json_walk(tree)),
    ]
    try:
        inner = [vars(tree)["a"]] if isinstance(tree, native.SymObject) else []
    except Exception:
        inner = []
    return _op(f"json#{which}", hooked, actions, [tree] + inner, tree, (plan, jv, raw_safe), fns[which], data.draw(PRE))


def _child_fields(kind):
    rendering = _pkg()[1]

    def hostile(value):
        wrong = fire()
        if kind == 1:
            return wrong if wrong is not None else rendering.child_fields(value)
        if kind == 2:
            d = {"x": value}
            d["self"] = value
            return d
        if kind == 3:
            return fc.DictSub({"a": 1})
        if kind == 4:
            return {fc.Evil("raise", {"__str__"}): 1, 5: value}
        out = rendering.child_fields(value)
        if isinstance(out, dict):
            out["added"] = value  # the live field dict, written while rendered
        return out
    return rendering.child_fields if kind == 0 else hostile


def op_render(data):
    hooked, actions, classes = draw_world(data)
    obj = draw_instance(data, classes, actions)
    name = data.draw(st.one_of(st.just("X"), fc.texts, fc.evils, st.none(), st.builds(fc.StrSub, fc.texts)))
    compact = data.draw(st.one_of(st.booleans(), fc.evils, st.none(), st.just(1)))
    indent = data.draw(st.one_of(st.integers(-3, 5), fc.ints, fc.evils, st.booleans()))
    cf = data.draw(st.one_of(st.integers(0, 5).map(_child_fields), fc.evils, st.none()))
    kind = data.draw(st.integers(0, 5))
    which = data.draw(st.integers(0, 1))
    fns = [lambda: native._render_object_fast(obj, name, compact, indent, cf),
           lambda: native._render_object_fast(obj, name, True, 0, _child_fields(kind))]
    return _op(f"render#{which}", hooked, actions, [obj], obj, (name, compact, indent), fns[which], data.draw(PRE))


def _guarded(op):
    """`op` whose setup (building the example's objects, which may already
    run hostile hooks) fails into a call that does nothing."""
    def draw(data):
        try:
            return op(data)
        except Exception as e:
            return [], f"{op.__name__}: setup failed", type(e).__name__, None, lambda: None
    draw.__name__ = op.__name__
    return draw


OBJECT_OPS = [_guarded(op) for op in (
    op_construct, op_construct, op_attr, op_attr, op_install, op_kernel, op_node, op_node,
    op_record_fn, op_object_seam, op_json, op_json, op_render)]

# Every operation of the surface: the calls of fuzz_cases and the ones above.
SURFACE_OPS = fc.OPS + OBJECT_OPS


# --- threads sharing one object -------------------------------------------------------------


def jsonify_of(obj):
    return _pkg()[2].to_json(obj)


def check_end_state(obj):
    """Asserts that a shared object of hammer_objects' class was left either
    constructed, its int field an int and its JSON walk agreeing with the
    package's, or blank: a re-init that loses a borrow race to a writer is
    refused, and a failed construction leaves the object blank, whose reads
    then refuse with the blank-object error."""
    if obj.field_dict() is not None:
        assert type(obj.b) is int
        assert native._native_to_json_walk(obj) in (None, jsonify_of(obj))
        return
    for read in (lambda: obj.b, lambda: native._native_to_json_walk(obj)):
        try:
            read()
        except AttributeError:
            continue
        raise AssertionError("a blank object's read answered")


def hammer_objects(seed, rounds=60):
    """Threads writing one shared object (and a shared record) while others
    construct, serialize, render and clone it."""
    oc, rendering, _ = _pkg()
    specs = [("a", native.Any(default=None)), ("b", native.Int(default=0)),
             ("l", native.List(native.Int(), default=[]))]
    cls = oc.object_class("Shared", specs, native_slots=bool(seed % 2))
    rec = oc.object_class("SharedRec", specs[:2], slots=True)
    obj, r = cls(a=1), rec(a=1)
    inner = cls(a=2)
    barrier = threading.Barrier(6)
    errors = []

    def guard(f):
        # A race may make any write or construction fail with a Python error;
        # an internal error (an exception unset or lost) is a fault.
        try:
            f()
        except SystemError as e:
            errors.append(e)
        except Exception:
            pass

    def writer(tag):
        barrier.wait()
        for i in range(rounds):
            guard(lambda: setattr(obj, "a", [i, inner] if i % 3 else inner))
            guard(lambda: setattr(obj, "b", i))
            guard(lambda: setattr(obj, "l", list(range(i % 5))))
            guard(lambda: setattr(r, "a", {"k": i, "o": inner}))
            guard(lambda: native._native_object_set_item_no_check(obj, "a", tag))
            if i % 7 == 0:
                guard(lambda: cls.__init__(obj, a=i, b=i))
                guard(lambda: rec.__init__(r, a=i))
            if i % 11 == 0:
                guard(lambda: delattr(obj, "a"))
                guard(lambda: native._probe_node_set(r, 1, KeyPath(f"p{i}")))

    def reader(k):
        barrier.wait()
        for i in range(rounds):
            guard(lambda: native._native_to_json_walk(obj))
            guard(lambda: native._native_to_json_walk(r))
            guard(lambda: native._native_inline_object_to_json(obj, "abl"))
            guard(lambda: native._render_object_fast(obj, "S", bool(i % 2), 0, rendering.child_fields))
            guard(lambda: native._native_object_clone_inline_shallow(obj))
            guard(lambda: native._slot_record_materialize(r, ["a", "b"]))
            guard(lambda: native._slot_record_inline_fields(r, ["a", "b"]))
            guard(lambda: (obj.a, obj.b, r.a, r.b))
            guard(lambda: cls(a=obj, b=i))

    other = oc.object_class("Other", [("a", native.Int(default=1)), ("zz", native.Any(default=None))])
    schemas = [(cls.__schema__, cls._sym_init_fields, cls.sym_fields),
               (other.__schema__, other._sym_init_fields, other.sym_fields)]
    offsets = dict(rec.__slot_field_offsets__)
    swapped = dict(zip(offsets, reversed(sorted(offsets.values()))))

    def reshaper():
        # The class facts change under the others' feet; a race can make
        # any of their calls fail, never crash.
        barrier.wait()
        for i in range(rounds):
            schema, init_fields, sym_fields = schemas[i % 2]
            cls.__schema__, cls._sym_init_fields, cls.sym_fields = schema, init_fields, sym_fields
            guard(schema._recompute_caches)
            rec.__slot_field_offsets__ = swapped if i % 2 else offsets
            cls.__sym_options__ = oc.options(frozen=bool(i % 3 == 0))
        cls.__schema__, cls._sym_init_fields, cls.sym_fields = schemas[0]
        rec.__slot_field_offsets__ = offsets
        cls.__sym_options__ = oc.options()

    threads = [threading.Thread(target=writer, args=(t,)) for t in "xyz"]
    threads += [threading.Thread(target=reader, args=(k,)) for k in range(3)]
    if seed % 3 == 0:
        barrier = threading.Barrier(7)
        threads.append(threading.Thread(target=reshaper))
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert not errors, errors
    # The end state is one some serial order of the writes left.
    if seed % 3:
        assert type(r.b) is int
        check_end_state(obj)
    else:  # swapped cells and schemas leave any values behind: they must read
        guard(lambda: (obj.a, obj.b, r.a, r.b, native._native_to_json_walk(obj),
                       native._native_to_json_walk(r)))
        assert not errors, errors
