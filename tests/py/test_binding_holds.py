"""Holds declared by native functions: the table entry takes the hold its
function declares (shared, exclusive or scoped) and refuses a conflicting one
at once with the declared policy. `Tally` (tests/native/hold_hooks.cpp) calls
back into Python with a hold taken, so the conflicts can be seen."""

import threading

import pytest

from races import started

hooks = pytest.importorskip("vesk_core._native_testhooks")
Tally = hooks.Tally

MUTABLY = "Already mutably borrowed"
BORROWED = "Already borrowed"
MUTATION = (
    "Cannot mutate this object while another operation holds it (e.g. a re-entrant call from "
    "`custom_apply` / a transform during its own `apply`): mutate it after `apply` returns."
)


def _attempt(call):
    try:
        return call()
    except RuntimeError as e:
        return str(e)


# What each member answers while the tally is held shared, or alone.
MEMBERS = {
    "getter": (lambda t: t.count, 3, MUTABLY),
    "length slot": (lambda t: len(t), 3, MUTABLY),
    "setter": (lambda t: setattr(t, "count", 9), BORROWED, BORROWED),
    "fast-call method": (lambda t: t.add(amount=1), BORROWED, BORROWED),
    "mutator": (lambda t: t.bump(), MUTATION, MUTATION),
    "comparison": (lambda t: t.__eq__(Tally(3)), True, NotImplemented),
    "comparison, other held": (lambda t: Tally(3).__eq__(t), True, NotImplemented),
    "scoped store": (lambda t: t.exchange(lambda c: c), MUTATION, MUTABLY),
}


@pytest.mark.parametrize("member", list(MEMBERS))
def test_a_conflicting_hold_is_refused_by_its_declared_policy(member):
    call, under_shared, under_exclusive = MEMBERS[member]
    tally = Tally(3)
    assert tally.while_shared(lambda t: _attempt(lambda: call(t))) == under_shared
    assert tally.count == 3
    assert tally.while_exclusive(lambda t: _attempt(lambda: call(t))) == under_exclusive
    assert tally.count == 3
    # Each hold ended with its call: everything works again.
    assert _attempt(lambda: call(tally)) not in (MUTABLY, BORROWED, MUTATION)


def test_every_exclusive_hold_that_ends_tells_the_state_it_may_have_changed():
    tally = Tally(1)
    tally.bump()
    tally.add(amount=2)
    tally.count = 5
    tally.exchange(lambda c: c + 1)  # a scoped store: one exclusive hold of its own
    assert tally.changes == 4
    # Shared holds, and exclusive ones that were refused, change nothing.
    tally.count, len(tally), tally == Tally(1)
    tally.while_shared(lambda t: _attempt(t.bump))
    assert tally.while_exclusive(lambda t: _attempt(t.bump)) == MUTATION
    assert tally.changes == 5  # only the hold of `while_exclusive` itself


def test_docstrings_are_made_from_the_parameters_the_parser_reads():
    import inspect

    assert str(inspect.signature(Tally.add)) == "(self, /, *, amount)"
    assert str(inspect.signature(Tally.scale)) == "(self, /, factor=2, *, offset=0)"
    assert Tally.scale.__doc__ == "Multiplies, then adds."
    # A function of one argument takes it positionally only.
    assert str(inspect.signature(Tally.while_shared)) == "(self, fn, /)"
    # A static method shows no receiver; a callable without Params shows
    # the list it was given.
    assert str(inspect.signature(Tally.of)) == "(count, /)" and Tally.of(4).count == 4
    assert str(inspect.signature(Tally.ignore)) == "(self, /, *args, **kwargs)"
    assert Tally(0).ignore(1, x=2) is None
    # Only the name before "=" is matched; a missing required one is named
    # without its default.
    tally = Tally(3)
    assert tally.scale(offset=1) == 7 and tally.scale(3) == 21
    with pytest.raises(TypeError, match=r"^add\(\) missing required argument 'amount' \(pos 1\)$"):
        tally.add()
    with pytest.raises(TypeError, match="unexpected keyword argument 'factor=2'"):
        tally.scale(**{"factor=2": 1})


def test_refused_comparisons_fall_back_to_identity():
    tally, twin = Tally(3), Tally(3)
    assert tally == twin
    assert tally.while_exclusive(lambda t: (t == twin, t == t, t != twin)) == (False, True, True)
    with pytest.raises(TypeError):
        tally.while_exclusive(lambda t: t < twin)


def test_a_hold_ends_when_its_function_raises():
    tally = Tally(1)

    def fail(t):
        raise KeyError("inside")

    for hold in (tally.while_shared, tally.while_exclusive):
        with pytest.raises(KeyError):
            hold(fail)
    tally.bump()
    assert tally.count == 2


def test_a_scoped_function_holds_only_around_its_reads_and_writes():
    tally = Tally(4)

    # Nothing is held while the callback runs: it may mutate the tally...
    def bump_then_answer(count):
        tally.bump()
        return count * 10

    assert tally.exchange(bump_then_answer) == 4
    assert tally.count == 40
    # ...but the store meets whatever the caller holds.
    assert tally.while_exclusive(lambda t: _attempt(lambda: t.exchange(lambda c: 0))) == MUTABLY
    assert tally.count == 40


def test_concurrent_mutators_never_lose_a_granted_update():
    tally = Tally(0)
    rounds, threads = 300, 6
    granted = [0] * threads
    barrier = threading.Barrier(threads)

    def run(i):
        barrier.wait()
        for _ in range(rounds):
            try:
                (tally.bump if i % 2 else lambda: tally.add(amount=1))()
                granted[i] += 1
            except RuntimeError as e:
                assert str(e) in (MUTATION, BORROWED)
            seen = _attempt(lambda: tally.count)
            assert seen == MUTABLY or isinstance(seen, int)

    workers = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
    with started(workers, barrier):
        pass
    assert tally.count == sum(granted)
