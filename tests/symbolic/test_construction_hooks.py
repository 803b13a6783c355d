"""A member's own hook, run while a construction places it, that stores the
member somewhere else or writes into the node being built: every member ends
in one place, stored where its parent and path say or stored nowhere and
free, and the node refuses its builder's hooks' writes with the borrow
refusal."""

import pytest

import vesk_core._native as native
from helpers import Dict, Insertion, KeyPath, List, Node, RefNode
from object_helpers import object_class

OWN = KeyPath("own")


class Hooked(Node):
    """Runs `act(self, parent)` once, from inside its path hook (no parent
    yet) or its parent hook, before it takes what the hook gives it."""

    def __init__(self, name, act=None, hook="parent"):
        super().__init__(name, path=OWN)
        self.act, self.hook = act, hook

    def _fire(self, which, parent=None):
        if self.hook == which and self.act:
            self.act, act = None, self.act
            act(self, parent)

    def topo_setpath(self, path):
        self._fire("path")
        super().topo_setpath(path)

    def topo_setparent(self, parent):
        if parent is not None:
            self._fire("parent", parent)
        super().topo_setparent(parent)


class HookedRef(Hooked, RefNode):
    """Reference-like: placed again, it is cloned."""


class Failing(Node):
    """Refuses every parent."""

    def topo_setparent(self, parent):
        if parent is not None:
            raise LookupError("failing")
        super().topo_setparent(parent)


def _object(slots):
    def build(values):
        cls = object_class("Built", [("a", native.Any()), ("b", native.Any(default=None))],
                           slots=slots)
        return cls(**dict(zip("ab", values)))
    return build


def _wrapped(kind):
    # A raw container a construction wraps for a member of its own.
    def build(values):
        raw = dict(zip("ab", values)) if kind is dict else list(values)
        return Dict(a=raw)["a"]
    return build


_no_check = native._native_object_set_item_no_check

# road -> (build the node from its members, what it stores, a write into it)
ROADS = {
    "dict": (lambda v: Dict(zip("ab", v)), lambda d: list(d.values()),
             lambda d, z: d.__setitem__("b", z)),
    "list": (List, list, lambda lst, z: lst.insert(0, z)),
    "insertion": (lambda v: List([Insertion(v[0]), *v[1:]]), list,
                  lambda lst, z: lst.insert(0, z)),
    "object": (_object(False), lambda o: [o.a, o.b], lambda o, z: setattr(o, "b", z)),
    "record": (_object(True), lambda o: [o.a, o.b], lambda o, z: setattr(o, "b", z)),
    # a record's through its materialised view
    "object seam": (_object(False), None, lambda o, z: _no_check(o, "b", z)),
    "record seam": (_object(True), None, lambda o, z: _no_check(o, "b", z)),
    "wrapped dict": (_wrapped(dict), lambda d: list(d.values()),
                     lambda d, z: d.__setitem__("b", z)),
    "wrapped list": (_wrapped(list), list, lambda lst, z: lst.insert(0, z)),
}


def free(*nodes):
    return all((n._topo_parent, n._topo_path) == (None, OWN) for n in nodes)


@pytest.mark.parametrize("hook", ["path", "parent"])
@pytest.mark.parametrize("road", ["dict", "list", "object", "record"])
def test_a_member_its_own_hook_stores_elsewhere_is_refused_as_one_given_twice(road, hook):
    other = Dict(root_path=KeyPath("o"))
    x = Hooked("x", lambda c, _: other.__setitem__("k", c), hook)
    with pytest.raises(Exception, match="already held earlier in this operation"):
        ROADS[road][0]([x])
    assert len(other) == 0 and free(x)


@pytest.mark.parametrize("fails", [False, True])
@pytest.mark.parametrize("road", ["dict", "list", "object", "record"])
def test_a_reference_like_member_stored_elsewhere_by_its_hook_leaves_a_clone_there(road, fails):
    build, stored, _ = ROADS[road]
    other = Dict(root_path=KeyPath("o"))
    x = HookedRef("x", lambda c, _: other.__setitem__("k", c))
    members = [x, Failing("f")] if fails else [x]
    if fails:
        with pytest.raises(Exception, match="failing"):
            build(members)
        assert free(x)
    else:
        node = build(members)
        assert stored(node)[0] is x and x._topo_parent is node
        assert x._topo_path == KeyPath(0 if isinstance(node, list) else "a")
    clone = other["k"]
    assert clone is not x and clone.cloned_from is x and len(other) == 1
    assert (clone._topo_parent, clone._topo_path) == (other, KeyPath("k", KeyPath("o")))


@pytest.mark.parametrize("what", ["another", "itself"])
@pytest.mark.parametrize("road", list(ROADS))
def test_a_members_hook_cannot_write_into_the_node_being_built(road, what):
    build, stored, put = ROADS[road]
    z, y = Node("z", path=OWN), Node("y", path=OWN)
    x = Hooked("x", lambda c, node: put(node, z if what == "another" else c))
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        build([x, y])
    assert free(x, y, z)


@pytest.mark.parametrize("slots", [False, True])
def test_a_members_parent_hook_still_reads_the_fields_of_the_node_being_built(slots):
    seen = []
    x = Hooked("x", lambda c, node: seen.append(dict(node._sym_attributes)))
    y = Node("y")
    node = _object(slots)([x, y])
    assert seen == [{"a": x, "b": y}] and x._topo_parent is node
    assert node._sym_attributes["a"] is x
