"""SymDict writes and deletes racing on shared and own keys, children moved
between dictionaries, one child written into several at once, and writes
racing two nodes into each other's subtree; each end state checked against
what every thread did and was told (write_races.py)."""

import pytest

from helpers import MISSING, Dict, KeyPath, SharedHoldError
from write_races import (
    CYCLE, Log, assert_chains, assert_children, assert_no_cycle, interleaved, is_borrow_error,
    notify_to_thread_log, race, refusals, rng, steps,
)

ROUNDS = 400
ROOT = KeyPath("root")


class Logged(Dict):
    _notify_field_updates = notify_to_thread_log


def key_of(update):
    return update.path.key


def child_path(key, root):
    return KeyPath(key, root)


@pytest.mark.parametrize("threads", [8, 16])
def test_writes_and_deletes_on_shared_and_own_keys(threads):
    d = Logged(root_path=ROOT)
    shared = ["s0", "s1"]
    made = [[] for _ in range(threads)]
    written = [[] for _ in range(threads)]   # the values each thread's writes stored
    logs = [Log() for _ in range(threads)]

    def work(tid, stop):
        r = rng(tid)
        for n in steps(stop, range(ROUNDS)):
            key = f"t{tid}" if r.random() < 0.3 else r.choice(shared)
            if r.random() < 0.2:
                with refusals(KeyError):
                    del d[key]
                    written[tid].append(MISSING)
                continue
            child = Dict(tag=(tid, n))
            made[tid].append(child)
            with refusals():
                d[key] = child
                written[tid].append(child)

    race(threads, work, logs)
    updates = [u for log in logs for u in log.updates]
    assert all(u.target is d for u in updates)
    for tid in range(threads):
        # Each write and delete reported what it stored; a delete of a key
        # another thread had just deleted reports nothing.
        news = [u.new_value for u in logs[tid].updates]
        assert [v for v in news if v is not MISSING] == [v for v in written[tid] if v is not MISSING]
    stored = dict(d.sym_items())
    assert_children(d, stored, [c for cs in made for c in cs], ROOT, child_path)
    assert_chains(updates, {}, stored, key_of)
    for c in (c for cs in made for c in cs):
        if c._topo_parent is None:
            assert c._topo_path == KeyPath()   # detached, or never adopted


@pytest.mark.parametrize("threads", [8, 16])
def test_children_moved_between_dictionaries(threads):
    homes = [Logged(root_path=KeyPath(f"h{i}")) for i in range(4)]
    keys = ["a", "b", "c"]
    children = [Dict(tag=(i, k)) for i in range(len(homes)) for k in keys]
    with Log().active():
        for n, child in enumerate(children):
            homes[n // len(keys)][keys[n % len(keys)]] = child
    initial = {(id(h), k): h._sym_getattr(k) for h in homes for k in keys}
    logs = [Log() for _ in range(threads)]

    def work(tid, stop):
        r = rng(tid, 1)
        for _ in steps(stop, range(ROUNDS)):
            src, dst = r.choice(homes), r.choice(homes)
            key, to = r.choice(keys), r.choice(keys)
            child = src.get(key)
            if child is None:
                continue
            with refusals(KeyError):
                del src[key]
            with refusals(SharedHoldError):
                dst[to] = child

    race(threads, work, logs)
    updates = [u for log in logs for u in log.updates]
    stored = {(id(h), k): v for h in homes for k, v in h.sym_items()}
    everywhere = [id(v) for v in stored.values()]
    assert len(set(everywhere)) == len(everywhere), "a child stored in two dictionaries"
    for home in homes:
        assert_children(home, dict(home.sym_items()), children, home._topo_path, child_path)
    stored_ids = set(everywhere)
    for child in children:
        if id(child) not in stored_ids:
            assert child._topo_parent is None and child._topo_path == KeyPath()
    assert_chains(updates, initial, stored, lambda u: (id(u.target), u.path.key))
    assert_no_cycle(children + homes)


@pytest.mark.parametrize("threads", [8, 16])
def test_one_parentless_child_written_into_many_dictionaries(threads):
    homes = [Logged(root_path=KeyPath(f"h{t}")) for t in range(threads)]
    trials = [Dict(n=n) for n in range(ROUNDS // 4)]
    won = [[] for _ in range(threads)]
    logs = [Log() for _ in range(threads)]

    def work(tid, stop):
        for n, child in steps(stop, enumerate(trials)):
            with refusals(SharedHoldError):
                homes[tid][n] = child
                won[tid].append(n)

    race(threads, work, logs)
    for n, child in enumerate(trials):
        winners = [t for t in range(threads) if n in won[t]]
        holders = [t for t in range(threads) if homes[t].get(n) is child]
        assert len(winners) <= 1 and holders == winners, f"trial {n}: stored in {holders}"
        if winners:
            assert child._topo_parent is homes[winners[0]]
            assert child._topo_path == KeyPath(n, homes[winners[0]]._topo_path)
        else:
            assert child._topo_parent is None and child._topo_path == KeyPath()


@pytest.mark.parametrize("threads", [8, 16])
def test_writes_racing_nodes_into_each_others_subtree(threads):
    # Thread t writes ring[t % size] into ring[(t + 1) % size], for rings of
    # two and of three nodes: the writes of one ring would close a cycle.
    size = 2 if threads == 8 else 4
    rings = [[Logged(ring=(n, i)) for i in range(size)] for n in range(ROUNDS // 4)]
    outcome = [[] for _ in range(threads)]

    def work(tid, stop):
        i = tid % size
        for ring in steps(stop, rings[tid // size::threads // size]):
            try:
                ring[(i + 1) % size][f"k{i}"] = ring[i]
                outcome[tid].append((ring, "stored"))
            except ValueError as e:
                assert CYCLE in str(e)
                outcome[tid].append((ring, "cycle"))
            except RuntimeError as e:
                assert is_borrow_error(e)
                outcome[tid].append((ring, "refused"))

    race(threads, work, [Log() for _ in range(threads)])
    assert_no_cycle([node for ring in rings for node in ring])
    for ring in rings[: len(rings) - len(rings) % (threads // size)]:
        results = [r for o in outcome for (g, r) in o if g is ring]
        assert len(results) == size and results.count("stored") < size
        for i, node in enumerate(ring):
            holder = ring[(i + 1) % size]
            if f"k{i}" in holder:
                assert node._topo_parent is holder
                assert node._topo_path == KeyPath(f"k{i}", holder._topo_path)
            else:   # nothing of a failed write stays stored or stamped
                assert node._topo_parent is not holder and node._topo_path == KeyPath()
