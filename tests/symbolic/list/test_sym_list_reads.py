"""SymList reads and binding: user-facing reads resolve inferential items
while the `sym_` accessors give them raw, index rules, `custom_apply`,
`use_value_spec`, the formalization and adoption entries, and the
topology surface as the list walks it (sealing, re-pathing), its own
properties and cycle collection."""

import gc
import types
import weakref

import pytest

import vesk_core._native as native
from helpers import Dict, Inferred, KeyPath, List, Node, SharedHoldError, scope
from vesk.symbolic.objects import WritePermissionError


def test_reads_resolve_inferential_items_and_sym_accessors_do_not():
    raw = Inferred(5)
    lst = List([raw, "b", Inferred(7)])
    assert lst[0] == 5 and lst[-1] == 7 and lst[True] == "b"
    assert lst[::2] == [5, 7] and type(lst[:]) is list
    assert list(lst) == [5, "b", 7]
    assert list(lst.sym_values()) == [raw, "b", lst._sym_getattr(2)] and lst._sym_getattr(-3) is raw
    assert list(lst.sym_keys()) == [0, 1, 2]
    assert list(lst.sym_items())[0] == (0, raw)
    it = iter(lst)
    lst.append(9)
    assert list(it) == [5, "b", 7]   # a snapshot taken when iteration began
    with pytest.raises(ZeroDivisionError):
        List([Inferred(ZeroDivisionError())])[0]


@pytest.mark.parametrize("key, answer", [(0, True), (-3, True), (3, False), (-4, False),
                                         ("0", False), (True, True), (1.0, False)])
def test_sym_hasattr(key, answer):
    assert List([1, 2, 3]).sym_hasattr(key) is answer


@pytest.mark.parametrize("read, error, message", [
    (lambda x: x[3], IndexError, "^list index out of range$"),
    (lambda x: x[-4], IndexError, "^list index out of range$"),
    (lambda x: x[1.0], TypeError, r"^list index must be an integer\. Encountered 1\.0\.$"),
    (lambda x: x["a"], TypeError, r"Encountered 'a'\.$"),
    (lambda x: x[2**70], OverflowError, "too big"),
    (lambda x: x._sym_getattr(3), IndexError, "^list index out of range$"),
    (lambda x: x._sym_getattr("0"), TypeError, "key"),
])
def test_bad_reads(read, error, message):
    with pytest.raises(error, match=message):
        read(List([1, 2, 3]))


def test_custom_apply():
    spec = native.List(native.Int())
    lst = List([1])
    assert lst.custom_apply(KeyPath(), native.Dict(), False) == (True, lst)
    assert lst.value_spec is None   # only a List spec is bound
    assert lst.custom_apply(KeyPath(), spec, False) == (True, lst) and lst.value_spec is spec
    assert lst.custom_apply(KeyPath(), spec, False) == (False, lst)
    assert lst.custom_apply(KeyPath(), native.List(native.Int()), True) == (True, lst)
    assert lst._allow_partial and lst.value_spec is spec
    with pytest.raises(ValueError, match=r"^List \(spec=List\(Int\(\)\)\) cannot be assigned to "
                                         r"an incompatible field \(spec=List\(Str\(\)\)\)\. "
                                         r"\(path=p\)$"):
        lst.custom_apply(KeyPath("p"), native.List(native.Str()), True)
    with pytest.raises(TypeError, match="allow_partial"):
        lst.custom_apply(KeyPath(), spec, 1)


class Asked:
    """A spec stand-in that records each `is_compatible` question."""

    def __init__(self, answer=True):
        self.answer, self.asked = answer, []

    def is_compatible(self, other):
        self.asked.append(other)
        return self.answer


@pytest.mark.parametrize("make, asks_itself", [(Dict, True), (List, False)])
def test_custom_apply_asks_the_incoming_spec(make, asks_itself):
    bound = Asked()
    container = make()
    container._value_spec = bound
    assert container.custom_apply(KeyPath(), bound, True) == (True, container)
    assert bound.asked == ([bound] if asks_itself else [])
    assert container.custom_apply(KeyPath(), None, True) == (False, container)   # never asked
    other = Asked(answer=1)
    with pytest.raises(TypeError, match="is_compatible"):
        container.custom_apply(KeyPath(), other, True)
    assert other.asked == [bound] and container._value_spec is bound


class Recording(List):
    """Records the allow_partial each application hands the list."""

    def custom_apply(self, path, value_spec, allow_partial, child_transform=None):
        self.__dict__.setdefault("partial", []).append(allow_partial)
        return super().custom_apply(path, value_spec, allow_partial, child_transform)


def test_use_value_spec():
    lst = Recording([1, 2], root_path=KeyPath("r"), accessor_writable=False)
    spec = native.List(native.Int())
    assert lst.use_value_spec(spec) is lst and lst.value_spec is spec
    with scope(native._FLAG_ALLOW_PARTIAL, True):
        lst.use_value_spec(native.List(native.Int()), allow_partial=False)   # equal: again
    assert lst.partial == [False, True] and lst.value_spec is spec
    with pytest.raises(RuntimeError, match=r"(?s)^List is already bound with a different value "
                                           r"spec: .*\. New value spec: .*\. \(path=r\)$"):
        lst.use_value_spec(native.List(native.Str()))
    with pytest.raises(ValueError, match=r"^Value spec for list must be a `vk.typing.List` "
                                         r"object\. Encountered: Dict\(\) \(path=r\)$"):
        lst.use_value_spec(native.Dict())
    assert lst.use_value_spec(None) is lst and lst.value_spec is None and lst._accessor_writable
    with pytest.raises(TypeError, match="Expect <class 'int'>"):
        List(["x"]).use_value_spec(spec)
    unwrapped = List([[1]], wrap=False)
    unwrapped.use_value_spec(native.List(native.Any()))   # no child transform
    assert type(unwrapped[0]) is list


def test_formalization_and_adoption_entries():
    lst = List(root_path=KeyPath("r"))
    assert lst._formalized_value(0, 5) == 5
    wrapped = lst._formalized_value(0, [1])
    assert type(wrapped) is List and wrapped.topo_path == KeyPath(0, KeyPath("r"))
    assert wrapped.topo_parent is lst
    held = Dict(held=Dict())["held"]
    with pytest.raises(SharedHoldError):
        List()._assign_child(0, held)
    assert List(assign="adopt")._assign_child(0, held) is not held
    # Any object may be stored as the spec; its element field is then read by name.
    lst._value_spec = types.SimpleNamespace(
        element=native.Field(native.ListKey(), native.Any(), assign="ref"))
    assert lst._assign_child(0, held) is held and held.topo_parent is not lst
    with pytest.raises(TypeError, match="seen"):
        lst._formalized_value(0, [1], seen=[])


def test_sealing_and_repathing_visit_the_items():
    child, off = Dict(), Node()
    off.enable_topo = False
    lst = List([child, off, 1])
    off.calls.clear()
    assert lst.sym_seal() is lst and lst._sealed and child._sealed
    assert off.calls == []
    with pytest.raises(WritePermissionError):
        child["x"] = 1
    lst.sym_seal(False)
    assert not child._sealed
    lst.topo_setpath(KeyPath("root"))
    assert child.topo_path == KeyPath(0, KeyPath("root")) and off.calls == []
    lst.topo_setparent(Node("new"))
    assert child.topo_parent is lst   # a list never passes its parent on
    with pytest.raises(AssertionError):
        lst._update_children_paths(None, "not a path")


def test_object_and_read_only_properties():
    lst, spec = List(), native.List(native.Int(), max_size=4)
    lst._value_spec = spec
    assert lst.value_spec is spec and lst.max_size == 4 and lst.sym_attr_field(0) is spec.element
    for name in ("value_spec", "max_size", "enable_topo", "topo_parent", "topo_path"):
        with pytest.raises(AttributeError):
            setattr(lst, name, None)
    lst._value_spec = object()   # anything can be stored; readings then fail
    with pytest.raises(AttributeError):
        lst.append(1)
    lst._value_spec = None
    assert lst.sym_attr_field(0) is None


def test_cycles_through_the_node_state_are_collected():
    lst = List([Dict(x=1)])
    lst._onchange_callback = lst.append
    lst._value_spec = native.List(native.Int())
    lst[0]._topo_parent = lst
    ref = weakref.ref(lst)
    del lst
    gc.collect()
    assert ref() is None
