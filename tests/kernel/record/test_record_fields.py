"""Record field descriptors: reads with the view preference, the empty-cell
and inferential rules, raw writes, restricted deletes, and the baking of a
class's mode into its descriptors."""

import pytest

import record_cells
import vesk_core._native as native
from fresh import run_fresh
from vesk.symbolic.objects import SymbolicModeError
from vesk.symbolic.records import record_class


class Inferred:
    """A contextual value: reading it resolves `infer()`."""

    def __init__(self, answer):
        self.answer = answer

    def infer(self):
        return ("inferred", self.answer)


@pytest.mark.parametrize("reserved, empty", [(0, None), (1, ValueError), (8, ValueError),
                                             (9, ValueError)])
def test_empty_fields_read_by_layout_mode(reserved, empty):
    R = record_class("R", ["a"], reserved=reserved)
    inst = R()
    if empty is None:
        assert inst.a is None
    else:
        with pytest.raises(ValueError, match=r"^R.__init__ should call `super\(\).__init__`.$"):
            inst.a
    value = object()
    inst.a = value
    assert inst.a is value


class StrictView(dict):
    """A view whose own item lookup must not be used by the field read."""

    def __getitem__(self, key):
        raise AssertionError("plain dict lookup expected")

    def __missing__(self, key):
        raise AssertionError("plain dict lookup expected")


@pytest.mark.parametrize("view_cls", [dict, StrictView])
def test_the_materialised_view_wins_over_the_cells(view_cls):
    R = record_class("R", ["a", "b"])
    inst = R()
    inst.a, inst.b = "cell-a", "cell-b"
    view = view_cls(a="view-a")
    assert record_cells.install_view(inst, view) is view
    assert record_cells.install_view(inst, {}) is view
    assert native._slot_node_get(inst, 6) is view
    assert (inst.a, inst.b) == ("view-a", "cell-b")
    inst.a = "written"  # the cell takes it; the view stays authoritative
    assert inst.a == "view-a" and record_cells.read_field(inst, "a") == "written"
    dict.__setitem__(view, "b", None)
    assert inst.b is None


def test_no_view_preference_without_a_production_view():
    probe = record_class("P", ["a"], reserved=8)()
    probe.a = "cell"
    native._slot_node_set(probe, 6, {"a": "view"})
    assert probe.a == "cell" and record_cells.read_view(probe) is None
    prod = record_class("R", ["a"])()
    prod.a = "cell"
    native._slot_node_set(prod, 6, ["not", "a", "dict"])
    assert prod.a == "cell"
    with pytest.raises(TypeError, match="'Q' has no view cell"):
        record_cells.install_view(record_class("Q", ["a"], reserved=8)(), {})


def test_non_symbolic_fields_unset_and_delete():
    R = record_class("R", ["a", "b"], non_symbolic=["a", "zz"])
    inst = R()
    with pytest.raises(AttributeError, match="^'R' object has no attribute 'a'$"):
        inst.a
    inst.a = Inferred(1)
    assert isinstance(inst.a, Inferred)  # returned as is
    del inst.a
    with pytest.raises(AttributeError, match="^'R' object has no attribute 'a'$"):
        del inst.a
    inst.b = 1
    with pytest.raises(AttributeError, match="^property 'b' of 'R' object has no deleter$"):
        del inst.b
    assert inst.b == 1


def test_kinds_and_modes_bake_only_the_types_own_fields():
    R = record_class("R", ["a"])
    S = record_class("S", ["b"], parent=R, non_symbolic=["a", "b"], topo=False)
    s = S()
    with pytest.raises(AttributeError):
        s.b
    with pytest.raises(ValueError):  # inherited `a` keeps R's symbolic descriptor
        s.a
    s.a = s.b = Inferred(2)
    assert s.a == ("inferred", 2)  # and R's topology mode
    native._kernel_set_record_field_kinds(S, [])  # never set back
    with pytest.raises(AttributeError):
        del S().b
    for call in (lambda: native._kernel_set_record_enable_topo(list, False),
                 lambda: native._kernel_set_record_field_kinds(R, [])):
        assert call() is None
    for call in (lambda: native._kernel_set_record_enable_topo(R(), False),
                 lambda: native._kernel_set_record_enable_topo(R, 0),
                 lambda: native._kernel_set_record_field_kinds(R, "a"),
                 lambda: native._kernel_set_record_field_kinds(R, [b"a"])):
        with pytest.raises(TypeError):
            call()


def test_inferential_values_resolve_against_the_tree():
    R = record_class("R", ["a", "b"], namespace={"_sym_attributes": property(
        lambda self: {"a": Inferred("from-tree")})})
    inst = R()
    inst.a, inst.b = Inferred("cell"), Inferred("b")
    assert (inst.a, inst.b) == (("inferred", "from-tree"), ("inferred", "b"))
    assert native._kernel_probe_traverse_visits(inst) == 3
    Bad = record_class("Bad", ["a"], namespace={"_sym_attributes": property(lambda self: [])})
    bad = Bad()
    bad.a = Inferred(0)
    with pytest.raises(TypeError, match="'list' object is not an instance of 'dict'"):
        bad.a


def test_inferential_values_of_topo_false_classes_are_refused():
    R = record_class("R", ["a"])
    inst = R()
    inst.a = Inferred(1)
    assert inst.a == ("inferred", 1)
    native._kernel_set_record_enable_topo(R.__record_type__, False)
    with pytest.raises(SymbolicModeError) as info:
        inst.a
    assert str(info.value) == (
        "contextual attribute `a` requires a symbolic tree, but R was declared with "
        "`topo=False`. Declare the class with `topo=True` to use it.")


def test_the_contextual_error_needs_the_object_bridge():
    run_fresh("""
        import vesk_core._native as native
        R = native._kernel_make_record("R", ["a"], 9, False)
        inst = R()
        inst.a = type("I", (), {"infer": lambda self: 1})()
        try:
            inst.a
        except RuntimeError as e:
            assert str(e) == "object bridge not installed", e
        else:
            raise AssertionError("read without the bridge")
    """)


def test_descriptors_read_only_their_own_instances():
    R = record_class("R", ["a"])
    S = record_class("S", ["a"])
    r, s = R(), S()
    r.a = "r"
    descr = R.__record_type__.__dict__["a"]
    assert record_cells.read_descriptor(r, descr) == (True, "r")
    assert record_cells.read_descriptor(r, R.__dict__["__slot_field_names__"]) == (False, None)
    assert record_cells.read_descriptor(r, R.__record_type__.__dict__["__weakref__"]) == (
        False, None)
    with pytest.raises(TypeError, match="descriptor 'a' for 'vesk_core._native.R' objects "
                                        "doesn't apply to a 'S' object"):
        record_cells.read_descriptor(s, descr)
    Stolen = type("Stolen", (), {"a": descr})
    with pytest.raises(TypeError):
        Stolen().a
