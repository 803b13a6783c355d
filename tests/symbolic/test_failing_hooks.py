"""Each hook a write calls (a child's topology calls, `sym_clone`, its
`enable_topo` and place reads, a key's hash and comparisons, a field's
transform and validator, the notification) made to raise in turn: the
write raises that failure with no other exception pending (the debug
interpreter aborts on a call into Python with one set), and leaves the
world whole, holding what it held or what the write gives when nothing
fails (fault_sweep.py)."""

import pytest

import vesk_core._native as native
from fault_sweep import FAULT, ROADS, HookFailure, HNode, Trial, judge, raised
from helpers import MISSING, Dict, KeyPath, List
from object_helpers import object_class


@pytest.mark.parametrize("road", list(ROADS))
def test_each_hook_of_a_write_raising_in_turn(road):
    make = ROADS[road]
    clean = Trial(make).run(FAULT.arm, FAULT.disarm)
    assert clean.error is None, clean.error
    assert clean.after != clean.before
    calls, names = FAULT.calls, list(FAULT.names)
    assert calls, "the write calls no hook"
    problems = []
    for k in range(1, calls + 1):
        trial = Trial(make).run(lambda: FAULT.arm(k), FAULT.disarm)
        found = judge(trial, clean)
        if trial.error is not None and not raised(trial.error, HookFailure, f"(call {k})"):
            found.append(f"raised {trial.error!r}")
        if found:
            problems.append(f"{names[k - 1]} (call {k} of {calls}): " + "\n    ".join(found))
    assert not problems, "\n".join(problems)


class Sticky(HNode):
    """Refuses to be let go."""

    def topo_setparent(self, parent):
        if parent is None:
            raise LookupError("sticky")
        super().topo_setparent(parent)


def test_a_list_item_that_will_not_go_keeps_its_place_through_a_slice_write():
    sticky = Sticky("s")
    lst = List(["a", sticky, "c"], root_path=KeyPath("r"))
    with pytest.raises(LookupError, match="sticky"):
        lst[0:3] = ["x", "y", {"k": 1}]
    assert list.__iter__(lst) and list(lst) == ["a", sticky, "c"]
    assert (sticky.parent, sticky.path) == (lst, KeyPath(1, KeyPath("r")))
    assert not lst.__dict__.get("notified")


class RaisesAtStore(str):
    """A key equal to its text whose comparisons raise from the `n`-th on."""

    n, calls = None, 0
    __hash__ = str.__hash__

    def __eq__(self, other):
        type(self).calls += 1
        if type(self).calls == type(self).n:
            raise LookupError("compared")
        return str.__eq__(self, other)


@pytest.mark.parametrize("where", ["dict", "object"])
@pytest.mark.parametrize("value", ["new", "deleted"])
def test_a_key_that_raises_at_the_store_leaves_the_old_child_stored_and_attached(where, value):
    # The last comparison of a write is its store's: the old child is let go
    # before it, and must be attached again when it raises.
    def world():
        old = HNode("old")
        if where == "dict":
            d = Dict({"k": old}, root_path=KeyPath("r"))
            new = MISSING if value == "deleted" else HNode("new")
            return d, old, lambda: d.__setitem__(RaisesAtStore("k"), new), lambda: dict(d)
        field = native.Field(native.StrKey(), native.Any())   # MISSING removes its entry
        cls = object_class("StoreKey", [("k", field)], allow_nonconst_keys=True)
        obj = cls(k=old, root_path=KeyPath("r"))
        new = MISSING if value == "deleted" else HNode("new")
        return obj, old, lambda: native._native_object_set_item_no_check(
            obj, RaisesAtStore("k"), new), obj.field_dict

    RaisesAtStore.n, RaisesAtStore.calls = None, 0
    world()[2]()
    RaisesAtStore.n, RaisesAtStore.calls = RaisesAtStore.calls, 0
    owner, old, write, stored = world()
    with pytest.raises(LookupError, match="compared"):
        write()
    assert stored() == {"k": old}
    assert (old.parent, old.path) == (owner, KeyPath("k", KeyPath("r")))


def test_a_container_a_hook_builds_and_keeps_stands_when_the_write_fails():
    """What the write wraps for itself goes back with it; what its hook makes
    and keeps is the hook's own, and stays as the hook left it."""
    kept = []

    def keep(value):
        kept.append(Dict(inner=Dict(v=len(kept))))
        return value

    sticky = Sticky("s")
    d = Dict({"k": sticky}, value_spec=native.Dict([("k", native.Any(transform=keep))]),
             root_path=KeyPath("r"))
    kept.clear()
    y = Dict(w=2)
    with pytest.raises(LookupError, match="sticky"):
        d["k"] = {"raw": y}            # wrapped for the write, whose let-go fails
    assert d["k"] is sticky and (sticky.parent, sticky.path) == (d, KeyPath("k", KeyPath("r")))
    assert y._topo_parent is None and y._topo_path == KeyPath()
    made = kept[-1]
    assert len(kept) == 1 and made["inner"]._topo_parent is made
    assert made["inner"]._topo_path == KeyPath("inner")


@pytest.mark.parametrize("road", list(ROADS))
def test_a_second_hook_raising_while_a_write_is_taken_back(road):
    # The write raises its first failure, and every child ends whole: stored
    # where its parent and path say, or stored nowhere and naming no parent
    # that does not hold it. A child whose hook failed stays as that hook
    # left it: it may keep a path its slot does not give, or name the
    # container it was to leave, but is never stored under another parent.
    make = ROADS[road]
    clean = Trial(make).run(FAULT.arm, FAULT.disarm)
    problems = []
    for k in range(1, clean.calls + 1):
        first = Trial(make).run(lambda: FAULT.arm(k), FAULT.disarm)
        if first.error is None:
            continue    # a failure the write passes over (a lenient read)
        for j in range(k + 1, first.calls + 1):    # the calls of its taking back
            trial = Trial(make).run(lambda: FAULT.arm(k, j), FAULT.disarm)
            excused = {id(n) for n in FAULT.failed if n is not None}
            found = trial.world.faults(excused)
            orphans = (trial.world.orphans(excused) - trial.orphans_before -
                       clean.orphans)
            found += [f"{n} names a parent that does not store it" for n in sorted(orphans)]
            if not raised(trial.error, HookFailure, f"(call {k})"):
                found.append(f"raised {trial.error!r}")
            if found:
                problems.append(f"calls {k} and {j} ({FAULT.names[k - 1]}, "
                                f"{FAULT.names[j - 1]}): " + "\n    ".join(found))
    assert not problems, f"{len(problems)} failures:\n" + "\n".join(problems)
