"""Keyword construction of symbolic objects: screening and its messages,
the compiled fill and the schema road, wrapping of raw containers, adoption,
the construction hooks, sealing and origins, the native initialiser's
error wrapping, and what a failed construction leaves behind."""

import pytest

import vesk_core._native as native
from construct_helpers import cseams, logging_class
from helpers import child_transform_mode  # noqa: F401  (a fixture)
from object_helpers import KeyPath, Origin, object_class
from vesk.symbolic.containers import Dict, List, SharedHoldError
from vesk.symbolic.objects import ConstructError

# Every test runs twice: with the stand-in's child transform, and with a hook
# that answers None ("no child transform").
pytestmark = pytest.mark.usefixtures("child_transform_mode")

MISSING = native.missing_value_singleton()


@pytest.fixture(scope="module")
def Point():
    return object_class("Point", [("x", native.Int()), ("y", native.Str(default="a")),
                                  ("tags", native.List(native.Int()))])


@pytest.mark.parametrize("compiled", [True, False])
@pytest.mark.parametrize("kwargs, message", [
    ({"tags": []}, r"^Point.__init__\(\) missing 1 required argument: 'x'\.$"),
    ({}, r"^Point.__init__\(\) missing 2 required arguments: 'x', 'tags'\.$"),
    ({"x": 1, "tags": [], "z": 1, "w": 2},
     r"^Point.__init__\(\) got unexpected keywords arguments: 'z', 'w'$"),
    ({"x": 1, "tags": [], "z": 1}, r"^Point.__init__\(\) got unexpected keyword argument: 'z'$"),
])
def test_screening_and_missing_messages(compiled, kwargs, message):
    cls = object_class("Point", [("x", native.Int()), ("y", native.Str(default="a")),
                                 ("tags", native.List(native.Int()))], compiled=compiled)
    with pytest.raises(TypeError, match=message.replace("keywords arguments", "keyword arguments")):
        cls(**kwargs)


def test_compiled_fill_values_defaults_and_flags(Point):
    assert cseams.compiled_fill(Point.__new__(Point), {"x": 1, "tags": []}, None) is not None
    fields, all_primitive, all_scalar = cseams.compiled_fill(
        Point.__new__(Point), {"x": 1, "y": "b", "tags": [1, 2]}, KeyPath("r"))
    assert fields["x"] == 1 and fields["y"] == "b" and type(fields["tags"]) is List
    assert fields["tags"]._topo_path == KeyPath(["r", "tags"])
    assert (all_primitive, all_scalar) == (False, True)   # a list of ints cannot be abstract
    # A value the funnel cannot claim makes the whole fill decline.
    assert cseams.compiled_fill(Point.__new__(Point), {"x": "s", "tags": []}, None) is None
    with pytest.raises(TypeError, match="int"):
        Point(x="s", tags=[])


@pytest.mark.parametrize("topo, symbolic, expected", [
    (True, None, List), (False, None, list), (True, False, list), (False, True, List),
])
def test_raw_containers_are_wrapped(topo, symbolic, expected):
    cls = object_class("W", [("l", native.List(native.Int(), symbolic=symbolic)),
                             ("t", native.Tuple([native.Int()])), ("d", native.Dict())], topo=topo)
    obj = cls(l=[1, 2], t=(1,), d={"a": 1}, root_path=KeyPath("root"))
    l, t, d = (obj.field_dict()[k] for k in "ltd")
    assert type(l) is expected and l == [1, 2] and type(t) is tuple
    assert type(d) is (Dict if topo else dict)   # unset symbolic: the class's topo decides
    if expected is List:
        assert l._topo_path == (KeyPath(["root", "l"]) if topo else KeyPath())
        assert l._topo_parent is (obj if topo else None)


def test_container_default_takes_the_schema_road():
    cls = object_class("D", [("l", native.List(native.Int(), default=[1])), ("x", native.Int(default=2))])
    facts = cseams.ctor_meta_facts(cls)
    assert facts["compiled_fields"] == [("l", True, True), ("x", True, False)]
    assert cseams.compiled_fill(cls.__new__(cls), {}, None) is None
    a, b = cls(), cls()
    assert a.field_dict()["l"] == [1] and a.field_dict()["l"] is not b.field_dict()["l"]
    assert a.field_dict()["x"] == 2


# Roads of construction that meet a raw list on the schema road: (class
# options, fields after `tags`, construction keywords).
SCHEMA_ROADS = {
    "no init fields": lambda: (dict(compiled=False), [], {}),
    "declined fill": lambda: ({}, [("more", native.List(native.Int(), default=[0]))], {}),
    "allow_partial": lambda: ({}, [], dict(allow_partial=True)),
    "factory default": lambda: (
        {}, [("made", native.List(native.Int(), default_factory=list))], {}),
}


@pytest.mark.parametrize("road", sorted(SCHEMA_ROADS))
def test_the_schema_road_takes_raw_containers_with_or_without_a_child_transform(road):
    options, extra, kwargs = SCHEMA_ROADS[road]()
    cls = object_class("R", [("tags", native.List(native.Int()))] + extra, **options)
    obj = cls(tags=[1, 2], **kwargs)
    fields = obj.field_dict()
    assert fields["tags"] == [1, 2]
    assert fields.get("more", [0]) == [0] and fields.get("made", []) == []


def test_aliases_extra_ignore_and_non_symbolic_names():
    kw = dict(aliases={"ex": "x"}, non_symbolic=[("note", "n")])
    strict = object_class("S", [("x", native.Int())], compiled=False, **kw)
    with pytest.raises(TypeError, match=r"^S.__init__\(\) got unexpected keyword argument: 'ex'$"):
        strict(x=1, ex=2)
    # A schema that accepts the alias as a keyword: the alias check refuses it.
    open_ = object_class("O", [("x", native.Int()), ("*", native.Field(native.StrKey(), native.Int()))],
                         compiled=False, allow_nonconst_keys=True, **kw)
    with pytest.raises(TypeError, match=r"^O.__init__\(\) got keyword argument 'ex', which is "
                                        r"reserved as the alias of field 'x'\.$"):
        open_(x=1, ex=2)
    with pytest.raises(TypeError, match=r"unexpected keyword arguments: 'q', 'note'$"):
        strict(note=1, x=1, q=2)
    obj = strict(x=1)
    assert obj.note == "n" and "note" not in obj.field_dict()
    loose = object_class("L", [("x", native.Int())], extra_ignore=True, **kw)
    assert loose(x=1, q=2, note=3).field_dict() == {"x": 1}
    with pytest.raises(TypeError, match="reserved as the alias of field 'x'"):
        loose(x=1, ex=2)
    # With init field names the alias is simply not an init field.
    with pytest.raises(TypeError, match=r"unexpected keyword argument: 'ex'$"):
        object_class("C", [("x", native.Int())], **kw)(x=1, ex=2)


@pytest.mark.parametrize("road", sorted(SCHEMA_ROADS))
def test_ignored_keywords_are_ignored_on_every_road(road):
    options, extra, kwargs = SCHEMA_ROADS[road]()
    given = []

    def on_sym_preinit(cls, kwargs):
        given.append(kwargs)
        return kwargs

    cls = object_class("I", [("x", native.Int())] + extra, extra_ignore=True,
                       aliases={"ex": "x"}, namespace={"on_sym_preinit": classmethod(on_sym_preinit)},
                       **options)
    obj = cls(x=1, zz=2, **kwargs)
    assert obj.field_dict()["x"] == 1 and "zz" not in obj.field_dict()
    assert given[-1] == {"x": 1, "zz": 2}   # the hook's dict is left whole
    # The reserved-alias error comes first, then the missing-argument check.
    with pytest.raises(TypeError, match="reserved as the alias of field 'x'"):
        cls(zz=2, ex=1, **kwargs)
    if not kwargs:
        with pytest.raises(TypeError, match=r"missing 1 required argument: 'x'\.$"):
            cls(zz=2)


def test_open_schema_screening():
    fields = [native.Field(native.ConstStrKey("a"), native.Int()),
              native.Field(native.StrKey(), native.Int())]
    cls = object_class("Open", [("a", fields[0]), ("*", fields[1])], compiled=False,
                       allow_nonconst_keys=True)
    assert cls(a=1, b=2, c=3).field_dict() == {"a": 1, "b": 2, "c": 3}


def test_preinit_replaces_the_keywords():
    seen = []

    def on_sym_preinit(cls, kwargs):
        seen.append((cls, dict(kwargs)))
        return {"x": kwargs["x"] + 1} if kwargs["x"] else [1]

    cls = object_class("Pre", [("x", native.Int())],
                       namespace={"on_sym_preinit": classmethod(on_sym_preinit)})
    assert cls(x=1).field_dict() == {"x": 2} and seen == [(cls, {"x": 1})]
    with pytest.raises(TypeError, match=r"^`on_sym_preinit` must return a dict of init kwargs\. "
                                        r"Encountered: \[1\]\.$"):
        cls(x=0)


@pytest.mark.parametrize("names, kwargs, expected", [
    ("x", {"x": 1}, ["on_sym_validate", "on_sym_post_init"]),
    ("x", {"x": 1, "allow_partial": True}, ["on_sym_validate", "on_sym_post_init"]),
    ("xy", {"x": 1, "allow_partial": True}, ["on_sym_post_init"]),
])
def test_hooks_post_init_ends_them(names, kwargs, expected):
    log = []
    cls = logging_class("H", [(n, native.Int()) for n in names], log)
    cls(**kwargs)
    assert log == expected


@pytest.mark.parametrize("kwargs, expected, cached", [
    ({"x": 1, "y": 2}, ["on_sym_validate", "on_sym_bound", "on_sym_ready"], False),
    ({"x": 1, "allow_partial": True}, ["on_sym_bound"], None),          # abstract: partial
    ({"x": 1, "y": [1]}, ["on_sym_validate", "on_sym_bound", "on_sym_ready"], False),
])
def test_hooks_bound_ready_and_abstractness(kwargs, expected, cached):
    log = []
    cls = logging_class("H", [("x", native.Int()), ("y", native.Any())], log,
                        hooks=("on_sym_validate", "on_sym_bound", "on_sym_ready"))
    obj = cls(**kwargs)
    assert log == expected
    assert obj.__dict__.get("_sym_puresymbolic") is cached


def test_pure_symbolic_member_makes_the_object_abstract():
    class Placeholder:
        __vesk_pure_symbolic__ = True

    log = []
    cls = logging_class("H", [("x", native.Any())], log, hooks=("on_sym_ready",))
    obj = cls(x=Placeholder())
    assert log == [] and obj.__dict__["_sym_puresymbolic"] is True
    assert cseams.pure_symbolic_scan(obj) is True
    for container in (List([1, Placeholder()]), Dict(a=1, b=Placeholder())):
        assert cseams.pure_symbolic_scan(container) is True
        assert cseams.pure_symbolic_scan(cls(x=container)) is True
    assert cseams.pure_symbolic_scan(cls(x=[Placeholder()])) is False   # raw: the bridge says no
    assert cseams.pure_symbolic_scan(cls(x=List([1]))) is False
    assert cseams.pure_symbolic_scan(object()) is None


def test_sealed_frozen_and_origin(Point):
    frozen = object_class("F", [("x", native.Int())], frozen=True)
    assert frozen(x=1)._sealed is True and frozen(x=1, sealed=False)._sealed is False
    assert Point(x=1, tags=[], sealed=True)._sealed is True
    assert Point(x=1, tags=[])._sym_origin is None
    native._flag_scope_set(native._FLAG_ORIGIN_TRACKING, True)
    try:
        origin = Point(x=1, tags=[])._sym_origin
    finally:
        native._flag_scope_del(native._FLAG_ORIGIN_TRACKING)
    assert type(origin) is Origin and (origin.source, origin.tag) == (None, "__init__")


def test_allow_partial_scope_skips_the_fill_and_missing_checks(Point):
    native._flag_scope_set(native._FLAG_ALLOW_PARTIAL, True)
    try:
        assert cseams.compiled_fill(Point.__new__(Point), {}, None) is None
        obj = Point()
    finally:
        native._flag_scope_del(native._FLAG_ALLOW_PARTIAL)
    assert obj.field_dict()["x"] == MISSING and obj._allow_partial is False


def test_children_are_adopted_and_shared_holds_refused(Point):
    Holder = object_class("Holder", [("p", native.Object(Point)), ("q", native.Any())])
    child = Point(x=1, tags=[])
    h = Holder(p=child, q=None, root_path=KeyPath("h"))
    assert child._topo_parent is h and child._topo_path == KeyPath(["h", "p"])
    with pytest.raises(SharedHoldError):            # another owner holds it
        Holder(p=child, q=None)
    twice = Point(x=1, tags=[])
    with pytest.raises(SharedHoldError):            # the same value twice in one construction
        Holder(p=twice, q=twice)
    ref = object_class("Ref", [("p", native.Field(native.ConstStrKey("p"), native.Object(Point),
                                                   assign="ref"))])
    assert ref(p=child).field_dict()["p"]._topo_parent is h


def test_unstamping_in_a_class_without_a_tree(Point):
    Flat = object_class("Flat", [("p", native.Any())], topo=False)
    child = Point(x=1, tags=[])
    child._topo_path = KeyPath("p")        # a phantom path from an earlier placement
    Flat(p=child)
    assert child._topo_path == KeyPath() and child._topo_parent is None


def test_a_failed_construction_leaves_the_object_blank():
    def on_sym_bound(self):
        raise LookupError("bound")
    cls = object_class("B", [("x", native.Int()), ("tags", native.List(native.Int())),
                             ("boom", native.Bool(default=False))])
    hooked = object_class("B", [("x", native.Int()), ("tags", native.List(native.Int())),
                                ("boom", native.Bool(default=False))],
                          namespace={"on_sym_bound": on_sym_bound})
    obj = cls(x=1, tags=[1])
    tags = obj.field_dict()["tags"]
    with pytest.raises(TypeError):
        obj.__init__(x="bad", tags=[])
    assert obj.field_dict() is None and obj._topo_path == KeyPath()
    obj = hooked.__new__(hooked)
    with pytest.raises(LookupError):
        obj.__init__(x=1, tags=[1], root_path=KeyPath("r"))
    assert obj.field_dict() is None and obj._topo_path == KeyPath("r") and tags == [1]


@pytest.mark.parametrize("native_slots", [True, False])
def test_members_of_a_wrapped_raw_container_are_given_back_by_a_fill_that_declines_or_fails(
        native_slots):
    # The compiled fill wraps `a` first; `b`'s container default makes it
    # decline, and the schema road wraps `a` again: the first wrap's member
    # placements must be gone by then (without a child transform, the
    # schema road keeps `a` raw, and the child free).
    cls = object_class("W", [("a", native.Dict()), ("b", native.List(native.Int(), default=[1])),
                             ("n", native.Int(default=0))], native_slots=native_slots)
    child = Dict(x=1)
    held = cls(a={"k": child}).field_dict()["a"]
    assert held["k"] is child
    assert child._topo_parent is (held if type(held) is Dict else None)
    # A later field that fails: the member wrapped before it is free again.
    child = Dict(x=1)
    with pytest.raises((TypeError, ConstructError)):
        cls(a={"k": child}, n="no")
    assert child._topo_parent is None and child._topo_path == KeyPath()


def test_native_initialiser_wraps_construction_failures(Point):
    obj = Point.__new__(Point)
    for kwargs in ({"x": "bad", "tags": []}, {"allow_partial": 1, "x": 1, "tags": []},
                   {"tags": []}):
        with pytest.raises(ConstructError, match="^construct failed: "):
            cseams.native_init(obj, (), dict(kwargs))
        assert obj.field_dict() is None
    # The positional road and the option conversions are not wrapped.
    with pytest.raises(TypeError, match="positional"):
        cseams.native_init(obj, (1,), None)
    for bad in ({"sealed": 1}, {"explicit_init": 2}):
        with pytest.raises(TypeError, match="expected True or False"):
            cseams.native_init(obj, (), bad)
    cseams.native_init(obj, (), {"x": 2, "tags": [], "sealed": True, "root_path": None,
                                 "explicit_init": None})
    assert obj.field_dict()["x"] == 2 and obj._sealed is True
    with pytest.raises(ConstructError, match="missing 2 required"):
        cseams.native_init(Point.__new__(Point), (), None)
    with pytest.raises(TypeError, match="not an instance of 'SymObject'"):
        cseams.native_init(object(), (), None)


def test_a_clone_construction_skips_preinit_and_validate():
    log = []

    def on_sym_preinit(cls, kwargs):
        log.append("on_sym_preinit")
        return kwargs

    cls = logging_class("C", [("x", native.Int())], log, non_symbolic=[("note", "seed")],
                        hooks=("on_sym_validate", "on_sym_bound"))
    cls.on_sym_preinit = classmethod(on_sym_preinit)
    cls._sym_preinit_overridden = True
    src = cls(x=1)
    assert log == ["on_sym_preinit", "on_sym_validate", "on_sym_bound"] and src.note == "seed"
    src.note = ["copied"]
    del log[:]
    memo = {}
    clone = cls.__new__(cls)
    cseams.clone_construct(clone, {"x": 2}, src, True, memo)
    assert log == ["on_sym_bound"] and clone.field_dict() == {"x": 2}
    assert clone.note == ["copied"] and clone.note is not src.note


@pytest.mark.parametrize("slots, label", [(False, "native tp_init"), (True, "native record tp_init")])
def test_positional_init_that_returns_is_the_invariant_error(slots, label):
    # Its message carries a non-ASCII dash: formatted wrongly, the error
    # would turn into a ValueError about the format string itself.
    namespace = {"__init__": lambda self, *args, **kwargs: None}
    cls = object_class("Pos", [("x", native.Int(default=0))], slots=slots, native_slots=True,
                       namespace=namespace)
    with pytest.raises(RuntimeError) as caught:
        cls(1)
    assert str(caught.value) == (f"{label}: positional `__init__` returned without raising "
                                 "\u2014 the keyword-only construct invariant was violated")
