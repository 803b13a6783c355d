"""Child adoption: each assign policy against each placement of the child,
stamp order, the claimed set of one operation, the cycle guard, detaching a
replaced child and unstamping a phantom path."""

import pytest

import vesk_core._native as native
from helpers import Dict, KeyPath, List, Node, RefNode, SharedHoldError, seams
from object_helpers import object_class

OWNER = KeyPath("root")


def adopt(pairs, container, *, policy=None, claimed=None, parent=None, adopting=True,
          by_caller=False):
    return seams.adopt(pairs, adopting, OWNER, container,
                       container if parent is None else parent, claimed, by_caller, policy)


def place(child, where, container):
    """Puts `child` where a placement says, before the adoption under test."""
    if where == "in_place":
        child._topo_parent, child._topo_path = container, KeyPath("k", OWNER)
    elif where == "other_parent":
        child._topo_parent, child._topo_path = object(), KeyPath("elsewhere")
    elif where == "moved_key":
        child._topo_parent, child._topo_path = container, KeyPath("old", OWNER)
    return child


STAMP, SAME, CLONE = "stamp", "same", "clone"
REFUSED, REFUSED_CLAIMED = ("refused", False), ("refused", True)
PLACEMENTS = ["in_place", "other_parent", "moved_key", "claimed", "parentless"]
EXPECTED = {
    None:        [STAMP, REFUSED, REFUSED, REFUSED_CLAIMED, STAMP],
    "ref":       [SAME, SAME, SAME, SAME, SAME],
    "clone":     [CLONE, CLONE, CLONE, CLONE, CLONE],
    "adopt":     [STAMP, CLONE, CLONE, CLONE, STAMP],
    "adopt_ref": [STAMP, SAME, SAME, REFUSED_CLAIMED, STAMP],
    "bogus":     [STAMP, REFUSED, REFUSED, REFUSED_CLAIMED, STAMP],
}


@pytest.mark.parametrize("policy", list(EXPECTED))
@pytest.mark.parametrize("where", PLACEMENTS)
@pytest.mark.parametrize("node_cls", [Node, RefNode])
def test_policy_against_placement(policy, where, node_cls):
    container, child = Node("owner"), node_cls()
    expected = EXPECTED[policy][PLACEMENTS.index(where)]
    if node_cls is RefNode and isinstance(expected, tuple):
        expected = CLONE  # a reference-like value held elsewhere is cloned, not refused
    place(child, where, container)
    pairs = [("k", child)]
    # Met once already in this operation, under another key, by an owner that
    # sets parents itself (object construction): the child is still parentless.
    by_caller = where == "claimed"
    if by_caller:
        pairs.insert(0, ("first", child))
    stamped = [("path", KeyPath("k", OWNER))] + ([] if by_caller else [("parent", container)])
    before = list(child.calls)
    run = lambda: adopt(pairs, container, policy=policy, claimed="native", by_caller=by_caller)
    if isinstance(expected, tuple):
        with pytest.raises(SharedHoldError, match="earlier" if expected[1] else "another"):
            run()
        return
    got = run()[-1]
    if expected == SAME:
        assert got is child and child.calls == before
    elif expected == STAMP:
        assert got is child and child.calls[len(before):] == stamped
    else:
        assert got.cloned_from is child and got.calls == stamped


def test_claimed_set_is_by_identity_and_takes_unhashable_values():
    container = Node("owner")
    first, twin = Dict(a=1), Dict(a=1)  # equal, distinct, unhashable
    got = adopt([("x", first), ("y", twin)], container, claimed="native")
    assert got == [first, twin] and twin._topo_path == KeyPath("y", OWNER)
    seen = set()
    assert adopt([("z", Dict())], container, claimed=seen)[0]._topo_parent is container
    assert seen == set()  # an unhashable child is neither found nor recorded


def test_a_parentless_owner_gives_only_the_path_to_a_new_child():
    held = Node()
    adopt([("k", held)], Node("owner"), by_caller=True)
    assert [c[0] for c in held.calls] == ["path"]
    orphan = Node()
    seams.adopt([("k", orphan)], True, OWNER, Node("owner"), None, None, False, None)
    assert orphan.calls == [("path", KeyPath("k", OWNER))]


def test_values_that_keep_no_tree_or_are_not_symbolic():
    class Aware:
        def __init__(self):
            self.calls = []

        def topo_setpath(self, path):
            self.calls.append(path)

        def topo_setparent(self, parent):
            self.calls.append(parent)

    container, off, aware = Node("owner"), Node(), Aware()
    off.enable_topo = False
    off._topo_parent = object()
    assert adopt([("k", off), ("j", aware)], container) == [off, aware]
    assert off.calls == [] and aware.calls == [KeyPath("j", OWNER), container]
    off.enable_topo = 1  # the strict flag refuses an int
    with pytest.raises(TypeError):
        adopt([("k", off)], container)


@pytest.mark.parametrize("policy", ["ref", "clone"])
def test_inferential_values_ignore_ref_and_clone(policy):
    class Lazy(Node):
        def infer(self):
            return 1

    container, lazy, fresh = Node("owner"), Lazy(), Lazy()
    lazy._topo_parent = object()
    # Held elsewhere, an inferential (so reference-like) value is cloned once.
    assert adopt([("k", lazy)], container, policy=policy)[0].cloned_from is lazy
    assert adopt([("k", fresh)], container, policy=policy)[0] is fresh


def test_a_value_cannot_become_its_own_ancestor():
    d = Dict()
    with pytest.raises(ValueError, match=r"Inserting 'Dict' at path 'x' would create a cycle"):
        d["x"] = d
    root, child = Dict(), Dict()
    root["c"] = child
    with pytest.raises(ValueError, match=r"at path 'c.up' would create a cycle"):
        child["up"] = root
    assert "x" not in d and "up" not in child


@pytest.mark.parametrize("write", [
    lambda d, lst: d.__setitem__("a", {"self": d}),
    lambda d, lst: d._set_item_without_permission_check("a", [d]),
    lambda d, lst: d["in"].__setitem__("z", [{"q": d}]),
    lambda d, lst: lst.append([lst]),
    lambda d, lst: lst.insert(0, {"s": [lst]}),
    lambda d, lst: lst.__setitem__(slice(0, 1), [[lst], 2]),
    lambda d, lst: lst.extend([{"k": lst}]),
])
def test_a_container_wrapped_around_its_own_owner_is_a_cycle(write):
    # The raw value is made a container that adopts the owner first, so the
    # owner's parent chain has changed by the time the container is placed.
    d, lst = Dict(inner=1, root_path=KeyPath("r")), List([1], root_path=KeyPath("l"))
    d["in"] = Dict()
    with pytest.raises(ValueError, match="would create a cycle"):
        write(d, lst)
    assert list(d) == ["inner", "in"] and list(d["in"]) == [] and list(lst) == [1]
    assert d.topo_parent is None and lst.topo_parent is None
    assert d.topo_path == KeyPath("r") and lst.topo_path == KeyPath("l")


def test_a_cyclic_parent_chain_is_refused_rather_than_walked_forever():
    d = Dict()
    d._topo_parent = d
    with pytest.raises(ValueError, match=r"Cannot insert 'Dict' at path 'x': the target "
                                         r"container's parent chain is cyclic\."):
        d["x"] = Dict()
    a, b = Dict(), Dict()
    a._topo_parent, b._topo_parent = b, a
    with pytest.raises(ValueError, match="parent chain is cyclic"):
        a["y"] = Node()
    assert "x" not in d and "y" not in a


class Aware:
    """Topology-aware, not symbolic: it keeps its place to itself (no
    `_topo_parent` or `_topo_path` to read)."""

    def __init__(self):
        self.calls = []

    def topo_setpath(self, path):
        self.calls.append(("path", str(path)))

    def topo_setparent(self, parent):
        self.calls.append(("parent", parent))


def _holder(kind, aware):
    """A container of `kind` holding `aware` under "k" (a list: at 0)."""
    if kind == "list":
        return List([aware])
    if kind == "dict":
        return Dict(k=aware)
    how = {"slots": True} if kind == "record" else {"native_slots": True}
    made = object_class("Holder", [("k", native.Any())], **how)(k=aware)
    made._sym_attributes   # a record's first use places its children again
    return made


LET_GO = [("parent", None), ("path", "")]


@pytest.mark.parametrize("kind, write, calls", [
    ("dict", lambda d: d.__setitem__("k", 1), LET_GO),
    ("dict", lambda d: d.__delitem__("k"), LET_GO),
    ("object", lambda o: setattr(o, "k", 1), LET_GO),
    ("record", lambda r: native._native_object_set_item_no_check(r, "k", 1), LET_GO),
    ("list", lambda lst: lst.__setitem__(0, 1), LET_GO[:1]),   # a list lets go by parent
    ("list", lambda lst: lst.__setitem__(slice(0, 1), [1]), LET_GO[:1]),
    ("list", lambda lst: lst.__delitem__(0), []),   # a removed item is taken out, not let go
    ("list", lambda lst: lst.pop(0), []),
])
def test_a_value_that_keeps_its_place_to_itself_is_let_go(kind, write, calls):
    aware = Aware()
    holder = _holder(kind, aware)
    aware.calls.clear()
    write(holder)
    assert aware.calls == calls


def test_detach_and_phantom_paths():
    old = Node()
    seams.detach_old_child(old)
    assert old.calls == [("parent", None), ("path", KeyPath())]
    off = Node()
    off.enable_topo = False
    seams.detach_old_child(off)
    seams.detach_old_child(5)
    assert off.calls == []

    phantom = Node(path=KeyPath("k", OWNER))
    seams.unstamp_phantom_path("k", phantom, OWNER)
    assert phantom._topo_path == KeyPath() and phantom._topo_path.depth == 0
    for child in (Node(parent=object(), path=KeyPath("k", OWNER)), Node(path=KeyPath("j", OWNER))):
        seams.unstamp_phantom_path("k", child, OWNER)
        assert child.calls == []
    # Adoption without a tree unstamps instead of stamping.
    kept = Node(path=KeyPath("k", OWNER))
    assert adopt([("k", kept)], object(), adopting=False)[0] is kept
    assert kept._topo_path == KeyPath()
