"""Threads on records (written for the free-threaded interpreter):
concurrent first uses of a role or of the view agree on one winner (a first
use of the view that meets another one building it takes the members as
they sit, and the view first installed), racing cell writes end with a
written value, and threads constructing a class that has no metadata yet
build equal records."""

import threading

import pytest

import vesk_core._native as native
from helpers import Dict, List
from object_helpers import KeyPath, PausingChild, object_class
from paused_pairs import Pausing, race
from races import started

THREADS, ROUNDS = 8, 100


def _race(fn):
    """Runs fn(thread id) on THREADS threads released together; answers the
    results by thread, re-raising the first failure."""
    barrier = threading.Barrier(THREADS)
    results, failures = [None] * THREADS, []

    def run(tid):
        barrier.wait()
        try:
            results[tid] = fn(tid)
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append(e)

    threads = [threading.Thread(target=run, args=(t,)) for t in range(THREADS)]
    with started(threads, barrier):
        pass
    if failures:
        raise failures[0]
    return results


def materialize_or_refused(inst, names):
    """The view: a first use that meets another one building it is not
    refused but takes the view installed."""
    return native._slot_record_materialize(inst, names)


def holder():
    return object_class("H", [("child", native.Any()), ("n", native.Int(default=0))],
                        slots=True)


@pytest.mark.parametrize("first_use", ["set_if_absent", "materialize"])
def test_racing_first_uses_agree_on_the_installed_object(first_use):
    H = holder()
    for _ in range(ROUNDS // 10):
        inst = H(child=Dict(a=1))
        if first_use == "set_if_absent":
            offered = [object() for _ in range(THREADS)]
            got = _race(lambda t: native._slot_node_set_if_absent(inst, 7, offered[t]))
            installed = native._slot_node_get(inst, 7)
            assert installed in offered
        else:
            got = _race(lambda t: materialize_or_refused(inst, ["child", "n"]))
            installed = native._slot_node_get(inst, 6)
            assert installed["child"] is inst.child
            got = [g for g in got if g is not None]
        assert got and all(g is installed for g in got)


def test_racing_materialisations_leave_the_tree_one_would():
    # The builder that wins stamps the children the record holds; the others
    # are refused having stamped nothing, or return the installed view.
    leaf = object_class("Leaf", [("v", native.Int(default=0))])
    R = object_class("R", [("d", native.Any()), ("l", native.Any()), ("o", native.Any()),
                           ("n", native.Int(default=0))], slots=True)
    names = ["d", "l", "o", "n"]
    for _ in range(ROUNDS // 10):
        inst = R(d=Dict(a=1), l=List([1]), o=leaf(v=1), root_path=KeyPath("r"))
        cells = native._slot_record_inline_fields(inst, names)
        got = [g for g in _race(lambda t: materialize_or_refused(inst, names)) if g is not None]
        view = native._slot_node_get(inst, 6)
        assert got and all(g is view for g in got)
        assert view.topo_parent is inst and view.topo_path == KeyPath("r")
        assert view["n"] == 0
        for name in "dlo":
            assert view[name] is cells[name]  # shared with the cells, not cloned
            assert cells[name]._topo_parent is inst
            assert cells[name]._topo_path == KeyPath(name, KeyPath("r"))


def test_writes_to_other_fields_of_a_fresh_record_refuse_none():
    # Each write's first use of the view meets the others': one view for all.
    fields = [(f"f{t}", native.Int(default=0)) for t in range(THREADS)]
    R = object_class("Fresh", fields + [("d", native.Any())], slots=True)
    for _ in range(ROUNDS // 10):
        inst = R(d=Dict(a=1))
        _race(lambda t: inst._sym_attributes.__setitem__(f"f{t}", t + 1))
        view = native._slot_node_get(inst, 6)
        assert [view[f"f{t}"] for t in range(THREADS)] == list(range(1, THREADS + 1))
        assert view["d"]._topo_parent is inst


# What another thread does while a first use of the view is paused in the
# adoption of the record's child: another first use, or a write of another
# field through the view.
BESIDE_FIRST_USE = {
    "first use": lambda inst: inst._sym_attributes,
    "write of another field": lambda inst: inst._sym_attributes.__setitem__("n", 5),
}


@pytest.mark.parametrize("second", sorted(BESIDE_FIRST_USE))
def test_a_first_use_beside_one_paused_in_a_childs_hook(second):
    child = PausingChild(a=1)
    inst = holder()(child=child, root_path=KeyPath("r"))
    pause = child.__dict__["pause"] = Pausing(1)
    got = {}
    outcomes = race(lambda: got.setdefault("a", inst._sym_attributes),
                    lambda: BESIDE_FIRST_USE[second](inst), pause)
    assert outcomes == {"a": "ok", "b": "ok"}
    view = native._slot_node_get(inst, 6)
    assert got["a"] is view and view["child"] is child and child._topo_parent is inst
    assert child._topo_path == KeyPath("child", KeyPath("r"))
    assert view["n"] == (5 if second.startswith("write") else 0)


def test_racing_cell_writes_end_with_a_written_value():
    inst = holder()(child=None)
    values = [[(t, n) for n in range(ROUNDS)] for t in range(THREADS)]

    def write(t):
        for value in values[t]:
            inst.child = value
            assert isinstance(inst.child, tuple)

    _race(write)
    assert inst.child in {v for vs in values for v in vs}
    assert native._slot_record_inline_fields(inst, ["child", "n"])["n"] == 0


def test_threads_constructing_a_new_class_build_equal_records():
    for _ in range(ROUNDS // 10):
        H = holder()  # no metadata yet: every thread may build it
        made_ = _race(lambda t: H(child=Dict(a=t), n=t, root_path=KeyPath(f"r{t}")))
        for t, inst in enumerate(made_):
            serial = H(child=Dict(a=t), n=t, root_path=KeyPath(f"r{t}"))
            assert native._slot_record_inline_fields(inst, ["child", "n"]) == \
                native._slot_record_inline_fields(serial, ["child", "n"])
            assert inst.child._topo_parent is inst
            assert inst.child._topo_path == KeyPath("child", KeyPath(f"r{t}"))
        assert type(H.__dict__["__native_record_meta__"]) is native.RecordMeta
