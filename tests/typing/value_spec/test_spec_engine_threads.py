"""Specs shared between threads: readers and appliers never wait and never
see a half-made change; a mutator meeting any holder is refused."""

import threading
import time

from races import started
from vesk_core._native import Float, Int, MissingValue

REFUSED = (
    "Cannot mutate this object while another operation holds it (e.g. a re-entrant call from "
    "`custom_apply` / a transform during its own `apply`): mutate it after `apply` returns."
)
BORROWED = "Already mutably borrowed"


def test_mutation_while_another_thread_applies_is_refused():
    entered, release = threading.Event(), threading.Event()

    def transform(value):
        if threading.current_thread() is worker:  # only the apply under test waits
            entered.set()
            assert release.wait(10)
        return value

    spec = Float(default=1.0).set_transform(transform)
    result = []
    worker = threading.Thread(target=lambda: result.append(spec.apply(2)))
    worker.start()
    try:
        assert entered.wait(10)
        for mutate in (lambda: spec.set_default(3.0), lambda: spec.freeze(), lambda: spec.noneable()):
            try:
                mutate()
            except RuntimeError as e:
                assert str(e) == REFUSED
            else:
                raise AssertionError("mutation during apply was not refused")
        assert repr(spec)  # reads share the hold
    finally:
        release.set()
        worker.join()
    assert result == [2.0]
    assert spec.default == 1.0 and not spec.frozen and not spec.is_noneable
    spec.set_default(3.0)  # free again once apply returned
    assert spec.default == 3.0


def test_readers_and_one_mutator():
    spec = Int(min_value=0, default=0)
    rounds = 400
    # The mutator alternates between (0, False) and (7, True); every reader
    # sees one of them as a whole, or is refused at once. A refusal never
    # waits, so readers that hold the spec without a break could starve the
    # mutator for good (as they do on the free-threaded build): every tenth
    # round, and while it completes a change it began, the mutator asks the
    # readers to step back, so changes land on every build while the other
    # rounds still race them.
    errors = []
    done, pause = threading.Event(), threading.Event()
    applied_last = []

    def change(target):
        try:
            spec.set_default(target[0])
        except RuntimeError as e:
            if str(e) != REFUSED:
                errors.append(e)
            return False
        pause.set()
        try:
            while True:
                try:
                    spec.noneable(target[1], use_none_as_default=False)
                    return True
                except RuntimeError as e:
                    if str(e) != REFUSED:
                        errors.append(e)
                        raise
        finally:
            pause.clear()

    def mutator():
        landed = 0
        try:
            for i in range(rounds):
                target = (7, True) if i % 2 == 0 else (0, False)
                quiet = i % 10 == 0
                if quiet:
                    pause.set()
                try:
                    while True:
                        if change(target):
                            landed += 1
                            applied_last[:] = [target]
                            break
                        if not quiet:
                            break
                finally:
                    pause.clear()
        except RuntimeError:
            return
        finally:
            done.set()
        if not landed:
            errors.append(AssertionError("no mutation landed"))

    def reader(k):
        local = 0
        while not done.is_set() or local < 50:
            while pause.is_set() and not done.is_set():
                time.sleep(0.0001)
            local += 1
            try:
                default = spec.default
                assert default in (0, 7)
                assert spec.apply(k) == k
                assert spec.is_noneable in (True, False)
                text = repr(spec)
                assert text.startswith("Int(")
                assert spec.materialize_default() in (0, 7)
            except RuntimeError as e:
                if str(e) != BORROWED:
                    errors.append(e)
            except Exception as e:  # noqa: BLE001
                errors.append(e)

    threads = [threading.Thread(target=reader, args=(k,)) for k in range(8)]
    threads.append(threading.Thread(target=mutator))
    with started(threads, done):
        pass
    assert errors == []
    # The end state is the last state the mutator completed.
    if applied_last:
        default, noneable = applied_last[0]
        assert (spec.default, spec.is_noneable) == (default, noneable)
    assert not isinstance(spec.default, MissingValue)


def test_a_default_computed_before_a_freeze_is_never_stored_after_it():
    # `set_default` applies the new default while it shares the spec and
    # stores it while it holds it alone; a freeze that lands in between makes
    # it compute again, now against a frozen spec, which refuses the value.
    # Whatever interleaving the threads take, the frozen default never
    # changes and is the last default a caller was told it set.
    for _ in range(40):
        spec = Int(default=0)
        barrier = threading.Barrier(2)
        last_set = [0]
        seen_frozen = []
        errors = []

        def setter():
            barrier.wait()
            for value in range(1, 400):
                try:
                    spec.set_default(value)
                except ValueError as e:  # frozen meanwhile: nothing more lands
                    assert "Frozen field is not assignable" in str(e)
                    return
                except RuntimeError as e:
                    if str(e) not in (REFUSED, BORROWED):
                        errors.append(e)
                    continue
                last_set[0] = value

        def freezer():
            barrier.wait()
            while True:
                try:
                    spec.freeze()
                    break
                except RuntimeError as e:
                    if str(e) not in (REFUSED, BORROWED):
                        errors.append(e)
                        return
            while True:
                try:
                    seen_frozen.append(spec.default)
                    return
                except RuntimeError as e:  # a store still in flight
                    if str(e) != BORROWED:
                        errors.append(e)
                        return

        threads = [threading.Thread(target=setter), threading.Thread(target=freezer)]
        with started(threads, barrier):
            pass
        assert errors == []
        assert spec.frozen
        assert spec.default == seen_frozen[0] == last_set[0]
