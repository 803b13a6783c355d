"""Walking and converting trees that other threads write (written for the
free-threaded interpreter). Every call gives a result, a decline or an
error, never a crash; a result shares no container with its tree; and what
a writer inserts is either absent from a result or checked like the rest:
no marker key and no value the conversion refuses ever lands in one."""

import threading

import pytest

import vesk_core._native as native
from helpers import Dict, List
from json_trees import containers, made, shapes

THREADS, ROUNDS = 8, 300
# Legitimate refusals of a race: a hold met while another thread has it, a
# dict that changed size under a stepwise read.
RACE_ERRORS = ("Already borrowed", "Already mutably borrowed", "changed size during iteration",
               "keys changed during iteration")


def _race(writer, reader):
    """Runs `writer` on half the threads and `reader` on the rest; returns
    the readers' results and the unexpected errors."""
    barrier = threading.Barrier(THREADS)
    results, failures = [[] for _ in range(THREADS)], [[] for _ in range(THREADS)]

    def run(tid):
        barrier.wait()
        for n in range(ROUNDS):
            try:
                if tid % 2:
                    writer(tid, n)
                else:
                    results[tid].append(reader())
            except RuntimeError as e:
                if not any(s in str(e) for s in RACE_ERRORS):
                    failures[tid].append(e)
            except Exception as e:  # noqa: BLE001 - collected for the assertion
                failures[tid].append(e)

    threads = [threading.Thread(target=run, args=(t,)) for t in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return [r for rs in results for r in rs], [f for fs in failures for f in fs]


def _no_shared(result, tree_containers):
    ids = {id(c) for c in tree_containers}
    return all(i not in ids for i in containers(result))


def test_walking_a_tree_while_it_is_written():
    point = shapes().Point
    lst, d = List([1, 2]), Dict(a=1)
    obj = made(point, a=lst, b=d)
    inserted = [lst, d, obj.field_dict()]   # kept alive: identities stay unique

    def writer(tid, n):
        if n % 3 == 0:
            list.append(lst, n) if n % 2 else (len(lst) > 1 and list.pop(lst))
        elif n % 3 == 1:
            child = List([tid])
            inserted.append(child)
            dict.__setitem__(d, f"k{n % 5}", child)
        else:
            dict.pop(d, f"k{(n + 1) % 5}", None)

    results, failures = _race(writer, lambda: native._native_to_json_walk(obj))
    assert failures == []
    for out in results:
        assert out is None or list(out)[:2] == ["_type", "a"]
        assert out is None or _no_shared(out, inserted)
    assert any(out is not None for out in results)


def test_converting_an_object_while_its_containers_are_written():
    flat = shapes().Flat
    shared_list, shared_dict = [0], {"k": 0}
    obj = made(flat, a=shared_list, b=shared_dict)
    inserted = [shared_list, shared_dict]

    def writer(tid, n):
        # Each write is undone soon after: readers must never see a marker
        # key, a tuple or a live container in what they get back.
        if n % 4 == 0:
            shared_list.append((n,))
        elif n % 4 == 1:
            shared_dict["_type"] = n
        elif n % 4 == 2:
            shared_dict.pop("_type", None)
            shared_dict[f"x{tid}"] = [n]
        else:
            if len(shared_list) > 1:
                shared_list.pop()
            shared_dict.pop(f"x{tid}", None)

    results, failures = _race(writer, lambda: native._native_inline_object_to_json(obj, "ab"))
    assert failures == []
    for out in results:
        if out is None:
            continue
        assert _no_shared(out, inserted)
        assert all(type(v) is int for v in out["a"])
        assert "_type" not in out["b"]
    assert any(out is not None for out in results)


def test_the_from_json_test_while_the_input_is_written():
    value = {"a": [1, 2], "b": {"c": 1}}

    def writer(tid, n):
        if n % 2:
            value["b"]["__symbolic__" if tid % 4 == 1 else f"k{tid}"] = n
            value["a"].append((n,))
        else:
            value["b"].pop("__symbolic__", None)
            value["b"].pop(f"k{tid}", None)
            if len(value["a"]) > 2:
                value["a"].pop()

    results, failures = _race(writer, lambda: native._native_from_json_all_plain(value, "ab"))
    assert failures == []
    assert set(results) <= {True, False}


@pytest.mark.parametrize("seam", ["walk", "closed"])
def test_racing_readers_of_one_object_agree(seam):
    # No writer: every reader must see the same answer.
    obj = made(shapes().Point, a=List([1, Dict(x=[2])]), b=3)
    call = {"walk": lambda: native._native_to_json_walk(obj),
            "closed": lambda: native._native_inline_object_to_json(obj, ["b"])}[seam]
    expected = call()
    results, failures = _race(lambda tid, n: call(), call)
    assert failures == []
    assert all(r == expected for r in results)
