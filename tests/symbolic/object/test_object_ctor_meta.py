"""ObjectCtorMeta: the per-class cache and when it is rebuilt, the facts it
records, the compiled fields, its part in garbage collection, and the
partial-construction entry that reads it."""

import gc
import types
import weakref

import pytest

import vesk_core._native as native
from construct_helpers import cseams
from object_helpers import Object, made, object_class
from vesk.symbolic.object_classes import options

MISSING = native.missing_value_singleton()


def test_cached_in_the_class_namespace_and_rebuilt():
    Base = object_class("Base", [("x", native.Int())])
    assert "__native_ctor_meta__" not in vars(Base)
    Base(x=1)
    meta = vars(Base)["__native_ctor_meta__"]
    assert type(meta) is native.ObjectCtorMeta and "__native_ctor_meta__" in repr(type(meta).__doc__)
    Base(x=2)
    assert vars(Base)["__native_ctor_meta__"] is meta
    # A subclass never takes its base's metadata: it builds its own.
    Sub = object_class("Sub", [("y", native.Int())], base=Base)
    assert set(cseams.ctor_meta_facts(Sub)["public_init_fields"]) == {"x", "y"}
    assert vars(Sub)["__native_ctor_meta__"] is not meta
    # The package drops it when the class changes; the next use reads the class anew.
    Base.__sym_options__ = options(frozen=True)
    assert Base(x=1)._sealed is False
    del Base.__native_ctor_meta__
    assert Base(x=1)._sealed is True and vars(Base)["__native_ctor_meta__"] is not meta
    # Something else stored there is replaced.
    Base.__native_ctor_meta__ = "stale"
    assert cseams.ctor_meta_facts(Base)["frozen"] is True
    assert type(vars(Base)["__native_ctor_meta__"]) is native.ObjectCtorMeta
    with pytest.raises(TypeError, match="cannot create"):
        native.ObjectCtorMeta()


@pytest.mark.parametrize("option", ["topo", "attr_write", "frozen"])
def test_options_must_be_bools(option):
    cls = object_class("C", [("x", native.Int())])
    cls.__sym_options__ = types.SimpleNamespace(**{**vars(options()), option: 1})
    with pytest.raises(TypeError, match=option):
        cls(x=1)
    assert "__native_ctor_meta__" not in vars(cls)   # nothing cached after a failure


def test_recorded_facts():
    def hook(self, old, new):
        pass

    cls = object_class(
        "Facts", [("_x", native.Int()), ("", native.Int()), ("y", native.Int())],
        non_symbolic=[("n", 1)], aliases={"why": "y"},
        namespace={"on_topo_path_change": hook, "on_sym_ready": lambda self: None,
                   "topo_setparent": lambda self, p: None, "sym_values": lambda self: []})
    f = cseams.ctor_meta_facts(cls)
    assert f["init_field_names"] == frozenset({"_x", "", "y"})
    assert set(f["public_init_fields"]) == {"", "y"}
    assert f["non_symbolic_names"] == frozenset({"n"}) and f["has_non_symbolic_fields"]
    assert f["alias_names"] == frozenset({"why"})
    assert f["path_change_overridden"] and not f["parent_change_overridden"]
    assert f["ready_runs"] and not f["post_init_overridden"]
    assert not f["default_topo_setters"] and not f["default_pure_symbolic"]
    assert f["default_sym_missing"] and f["topo"] and f["topo_enabled"]
    plain = cseams.ctor_meta_facts(object_class("Plain", []))
    assert plain["alias_names"] is None and plain["non_symbolic_names"] == frozenset()
    assert plain["default_topo_setters"] and plain["default_pure_symbolic"]
    assert plain["compiled_fields"] == []
    assert cseams.compiled_fill(object_class("Plain", [])(), {}, None) == ({}, True, True)


def test_compiled_fields_decline():
    none = object_class("N", [("x", native.Int())], compiled=False)
    f = cseams.ctor_meta_facts(none)
    assert f["compiled_fields"] is None and f["init_field_names"] is None
    factory = object_class("F", [("x", native.Int()),
                                 ("l", native.List(native.Int(), default_factory=list))])
    assert cseams.ctor_meta_facts(factory)["compiled_fields"] is None
    assert factory(x=1).field_dict()["l"] == []


def test_a_discarded_class_is_freed():
    def make():
        Child = object_class("Child", [("x", native.Int())])
        Holder = object_class("Holder", [("c", native.Object(Child)), ("l", native.List(native.Int()))])
        Holder(c=Child(x=1), l=[1])
        return weakref.ref(Child), weakref.ref(Holder)

    refs = make()
    # A field's compiled record shared with the metadata is counted by
    # neither holder while both hold it: what only it reaches (the Child
    # class, through the Object spec) is freed by the next pass.
    gc.collect()
    gc.collect()
    assert all(r() is None for r in refs)


def test_partial_entry():
    Leaf = object_class("Leaf", [("x", native.Int()), ("y", native.Int())])
    Tree = object_class("Tree", [("leaf", native.Any())])
    partial = Leaf(x=1, allow_partial=True)
    assert cseams.partial(partial) is True and cseams.partial(Leaf(x=1, y=2)) is False
    assert cseams.partial(Tree(leaf=Tree(leaf=partial))) is True
    assert cseams.partial(Tree(leaf=[partial])) is False   # a raw list is not symbolic
    assert cseams.partial(object()) is None
    assert cseams.partial(Leaf.__new__(Leaf)) is None
    custom = object_class("Custom", [("x", native.Int())],
                          namespace={"sym_missing": lambda self: {}})
    assert cseams.partial(custom(x=1)) is None

    class Declined:
        sym_partial = True

        def sym_clone(self):
            return self

    assert cseams.partial(made(Tree, leaf=Declined())) is True


@pytest.mark.parametrize("probe", ["partial", "pure_symbolic_scan"])
def test_an_object_holding_itself_raises_recursion_error(probe):
    Flat = object_class("Flat", [("a", native.Any())], topo=False)
    loop = Flat(a=1)
    loop.field_dict()["a"] = loop
    with pytest.raises(RecursionError):
        getattr(cseams, probe)(loop)
    deep = Flat(a=1)
    for _ in range(50):
        deep = Flat(a=deep)
    assert getattr(cseams, probe)(deep) is False


@pytest.mark.parametrize("topo", [True, False])
def test_container_field_probes(topo):
    cls = object_class("C", [("l", native.List(native.Int())), ("t", native.Tuple([native.Int()])),
                             ("raw", native.Dict(symbolic=False)), ("wrapped", native.List(
                                 native.Int(), symbolic=True)), ("x", native.Int())], topo=topo)
    assert native._container_wrap_fields(cls) == (["l", "t", "wrapped"] if topo else ["wrapped"])
    assert native._container_candidate_fields(cls) == (["raw"] if topo else ["l", "t", "raw"])
    assert "__native_ctor_meta__" not in vars(cls)      # built for the call, not cached
    assert native._container_wrap_fields(object_class("N", [], compiled=False)) == []
