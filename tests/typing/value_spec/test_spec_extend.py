"""Extending a value spec on a base spec: what the child takes from the base,
what refuses it, what stays changed after a refusal, and the hold that guards
the child while it changes."""

import threading

import pytest

import vesk_core._native as native
from races import started
from vesk_core._native import (Any, Bool, Callable, Dict, Enum, Float, Functor, Int, List,
                               Object, Str, Tuple, Type, Union)

MISSING = native.missing_value_singleton()
REFUSED = (
    "Cannot mutate this object while another operation holds it (e.g. a re-entrant call from "
    "`custom_apply` / a transform during its own `apply`): mutate it after `apply` returns."
)
BORROWED = "Already mutably borrowed"


def ident(value):
    return value


class Base:
    pass


class Leaf(Base):
    pass


class Unrelated:
    pass


class Handler:
    def __call__(self, x):
        return x


def frozen_base(child, base):
    return f"{child!r} cannot extend a frozen value spec: {base!r}"


def tail(text):
    return lambda child, base: f"{child!r} cannot extend {base!r}{text}"


@pytest.mark.parametrize("make_child, make_base, message", [
    (lambda: Int(), lambda: Int(default=1, frozen=True), frozen_base),
    (lambda: Int(default=2, frozen=True), lambda: Int(default=1, frozen=True), frozen_base),
    (lambda: Int(default=3, frozen=True), lambda: Enum([1, 2]), tail(" with incompatible frozen value: 3 ")),
    (lambda: Bool(), lambda: Union([Str(), Int()]), tail(": no compatible type found in Union.")),
    (lambda: Int(), lambda: Str(), tail(": incompatible type.")),
    (lambda: Float(), lambda: Int(), tail(": incompatible type.")),
    (lambda: Callable(), lambda: Functor(), tail(": incompatible type.")),
    (lambda: Int().noneable(), lambda: Int(), tail(": None is not allowed in base spec.")),
    (lambda: Enum([1, 5]), lambda: Int(max_value=3), tail(": 5 is not an acceptable value.")),
    (lambda: Enum([1, "a"]), lambda: Int(), tail(": 'a' is not an acceptable value.")),
    (lambda: Union([Int(), Bool()]), lambda: Union([Float(), Int()]), tail(": incompatible value spec Bool().")),
    (lambda: Object(Leaf), lambda: Object(Unrelated), tail(": incompatible class.")),
    (lambda: Type(int), lambda: Type(str), tail(": incompatible type.")),
    (lambda: Int(min_value=0), lambda: Int(min_value=1), tail(": min_value is smaller.")),
    (lambda: Int(max_value=5), lambda: Int(max_value=3), tail(": max_value is larger.")),
    (lambda: Int(max_value=-1), lambda: Int(min_value=0),
     tail(": min_value (0) is greater than max_value (-1) after extension.")),
    (lambda: Float(min_value=2.5), lambda: Float(max_value=1.0),
     tail(": min_value (2.5) is greater than max_value (1.0) after extension.")),
    (lambda: Tuple([Int(), Int()]), lambda: Tuple(Int(), min_size=3), tail(" as it has less elements than required.")),
    (lambda: Tuple([Int()] * 3), lambda: Tuple(Int(), max_size=2), tail(" as it has more elements than required.")),
    (lambda: Tuple(Int()), lambda: Tuple([Int()]),
     tail(": a variable length tuple cannot extend a fixed length tuple.")),
    (lambda: Tuple([Int()] * 2), lambda: Tuple([Int()] * 3), tail(": unmatched number of elements.")),
    (lambda: Tuple(Int(), min_size=1), lambda: Tuple(Int(), min_size=2), tail(" as it has smaller min size.")),
    (lambda: Tuple(Int(), max_size=5), lambda: Tuple(Int(), max_size=3), tail(" as it has greater max size.")),
])
def test_refusals(make_child, make_base, message):
    child, base = make_child(), make_base()
    before = repr(child)
    with pytest.raises(TypeError) as e:
        child.extend(base)
    assert str(e.value) == message(child, base)
    assert repr(child) == before  # nothing stored yet; Number bounds only after every check


def test_the_child_is_narrowed_in_place_and_the_base_is_left_alone():
    child, base = Int(), Int(min_value=0, max_value=10)
    assert child.extend(base) is child
    assert (child.min_value, child.max_value) == (0, 10)
    assert (base.min_value, base.max_value) == (0, 10)
    inside = Int(min_value=2, max_value=5)
    assert inside.extend(base) is inside and (inside.min_value, inside.max_value) == (2, 5)
    # A regex the child states is kept, unchecked; an absent one is taken.
    assert Str().extend(Str(regex="a+")).regex.pattern == "a+"
    assert Str(regex="b").extend(Str(regex="a+")).regex.pattern == "b"


def test_frozen_children():
    child, base = Int(default=1, frozen=True), Enum([1, 2])
    made = child.extend(base)
    assert type(made) is Enum and made.frozen and made.default == 1 and made.values == [1, 2]
    assert type(child) is Int and child.frozen and child.default == 1  # left as it was
    same = Int(default=1, frozen=True)
    assert same.extend(Int(default=1, frozen=True)) is same


def test_transform_and_strict_are_taken_first_and_stay_after_a_refusal():
    child = Int()
    with pytest.raises(TypeError, match="incompatible type"):
        child.extend(Str(strict=True).set_transform(ident))
    assert child.transform is ident and child._strict is True
    own = Int(strict=False).set_transform(str)
    own.extend(Int(strict=True).set_transform(ident))
    assert own.transform is str and own._strict is False
    # An Any base gives only those two: no type or None check follows.
    loose = Str(regex="x").noneable()
    assert loose.extend(Any(strict=True).set_transform(ident)) is loose
    assert loose.transform is ident and loose.strict and loose.regex.pattern == "x"


def test_an_object_child_a_callable_base_accepts_is_returned_unchanged():
    child = Object(Handler)
    assert child.extend(Callable([Int()]).set_transform(ident)) is child
    assert child.transform is None
    with pytest.raises(TypeError, match="incompatible type"):
        Object(Leaf).extend(Callable([Int()]))


class Picky:
    """A base known only by the attributes extension reads."""

    frozen, default, transform, _strict, is_noneable = False, MISSING, None, None, False

    def __init__(self, error):
        self.error = error

    def apply(self, value):
        if value == 2:
            raise self.error
        return value


def test_an_enum_child_is_checked_value_by_value_against_any_base():
    child = Enum([1])
    assert child.extend(Picky(LookupError())) is child
    base = Picky(ValueError("no"))
    with pytest.raises(TypeError) as e:
        Enum([1, 2]).extend(base)
    assert str(e.value) == f"Enum(values=[1, 2]) cannot extend {base!r}: 2 is not an acceptable value."
    with pytest.raises(LookupError):  # only TypeError and ValueError become the refusal
        Enum([1, 2]).extend(Picky(LookupError()))


def test_a_list_extends_its_element_field_and_takes_the_key_range():
    child = List(Int())
    assert child.extend(List(Int(min_value=0), max_size=5)) is child
    assert child.element.value.min_value == 0
    assert (child.min_size, child.max_size, child.element.key.max_value) == (0, 5, 5)
    with pytest.raises(TypeError, match=r"^ListKey.*: min_value is smaller\.$"):
        List(Int()).extend(List(Int(), min_size=1))


def test_tuple_elements_and_sizes():
    fixed = Tuple([Int(), Str()])
    fixed.extend(Tuple([Int(min_value=1), Str(regex="x")]))
    assert [f.value for f in fixed.elements] == [Int(min_value=1), Str(regex="x")]
    over_variable = Tuple([Int(), Int()])
    over_variable.extend(Tuple(Int(max_value=9), min_size=1, max_size=3))
    assert [f.value.max_value for f in over_variable.elements] == [9, 9]
    for own, sizes in [(Tuple(Int()), (1, 4)), (Tuple(Int(), min_size=2), (2, 4))]:
        own.extend(Tuple(Int(), min_size=1, max_size=4))
        assert (own.min_size, own.max_size) == sizes
    # Elements extended before a refusal stay extended.
    partial = Tuple([Int(), Int(max_value=9)])
    with pytest.raises(TypeError, match="max_value is larger"):
        partial.extend(Tuple([Int(min_value=1), Int(max_value=5)]))
    assert [f.value.min_value for f in partial.elements] == [1, None]


def test_union_candidates_extend_their_base_candidates():
    child = Union([Int(), Str()])
    assert child.extend(Union([Float(), Int(min_value=0), Str(regex="x")])) is child
    assert child.candidates == [Int(min_value=0), Str(regex="x")]
    # Two Object candidates pair up only when the classes agree.
    objects = Union([Object(Leaf), Int()])
    objects.extend(Union([Object(Unrelated), Object(Base), Int(max_value=3)]))
    assert objects.candidates[1].max_value == 3
    # A candidate extended before a refusal stays extended.
    partial = Union([Int(), Bool()])
    with pytest.raises(TypeError, match="incompatible value spec Bool"):
        partial.extend(Union([Float(), Int(min_value=0)]))
    assert partial.candidates[0].min_value == 0
    # A plain child over a Union base is measured against the candidate that fits.
    assert Int().extend(Union([Str(), Int(min_value=0)])).min_value == 0


def test_a_dict_with_a_schema_extends_it_and_remakes_its_default():
    child = Dict([("a", Int(default=1))])
    schema = child.schema
    assert child.extend(Dict([("b", Str(default="x"))])) is child
    assert child.schema is schema and sorted(str(k) for k in schema.fields) == ["a", "b"]
    assert child.default == {"a": 1, "b": "x"}
    assert Dict().extend(Dict()).default is MISSING  # no base schema: nothing to take


def test_a_dict_without_a_schema_takes_copies_of_the_base_schema_and_default():
    child, base = Dict(), Dict([("b", Int(default=2))])
    child.extend(base)
    assert child.schema is not base.schema
    [copied], [original] = child.schema.values(), base.schema.values()
    assert copied is not original and copied.value == original.value
    assert child.default == {"b": 2} and child.default is not base.default


def test_a_callable_takes_what_it_leaves_open():
    base = Callable([Int()], kw=[("x", Str())], returns=Bool())
    child = Callable()
    child.extend(base)
    assert child.args == base.args and child.args is not base.args
    assert child.kw == base.kw and child.return_value is base.return_value
    own = Functor([Str()], returns=Int())
    own.extend(base)
    assert own.args == [Str()] and own.return_value == Int() and own.kw == base.kw


class OddKw(Callable):
    odd = None

    @property
    def kw(self):
        return self.odd if self.odd is not None else Callable.kw.__get__(self)


def test_keyword_entries_that_are_not_pairs_are_refused_before_they_are_stored():
    base = OddKw()
    base.odd = [["x", Int()]]
    child = OddKw()
    with pytest.raises(TypeError, match=r"should be a list of \(name, value_spec\) tuples"):
        child.extend(base)
    assert child.kw == [] and Callable().is_compatible(child) is True


def test_extending_a_spec_from_its_own_transform_is_refused():
    seen = []

    def transform(value):
        try:
            spec.extend(Int(min_value=0, strict=True))
        except RuntimeError as e:
            seen.append(str(e))
        return value

    spec = Int().set_transform(transform)
    assert spec.apply(5) == 5 and seen == [REFUSED]
    assert spec.min_value is None and spec._strict is None
    assert spec.extend(Int(min_value=0)) is spec and spec.min_value == 0  # free again


def test_the_child_is_held_while_its_bounds_are_compared():
    class Sneaky(int):
        """A bound whose comparison reads the spec being extended."""

        def __gt__(self, other):
            return victim.min_value > other

    victim = Int(min_value=2)
    with pytest.raises(RuntimeError, match=f"^{BORROWED}$"):
        victim.extend(Int(min_value=Sneaky(1)))
    assert victim.min_value == 2


class Bound(int):
    """A bound compared in Python code, so that other threads run while the
    spec is held (also under a global interpreter lock)."""

    def __lt__(self, other):
        return int(self) < other

    def __gt__(self, other):
        return int(self) > other


def test_threads_extending_and_applying_one_spec():
    spec, base = Int(), Int(min_value=Bound(0), max_value=Bound(10))
    workers, rounds = 8, 300
    outcomes = [None] * workers
    start = threading.Barrier(workers)

    def extender():
        landed = 0
        for _ in range(rounds):
            try:
                assert spec.extend(base) is spec
                landed += 1
            except RuntimeError as e:
                assert str(e) in (REFUSED, BORROWED)
        return landed

    def applier():
        for k in range(rounds):
            value = 5 if k % 2 else -1
            try:
                assert spec.apply(value) == value
            except ValueError as e:  # the bounds have landed
                assert value == -1 and "out of range" in str(e)
            except RuntimeError as e:
                assert str(e) == BORROWED
        return 0

    def run(i):
        start.wait()
        try:
            outcomes[i] = (extender if i % 2 == 0 else applier)()
        except BaseException as e:  # reported after the join
            outcomes[i] = e

    threads = [threading.Thread(target=run, args=(i,)) for i in range(workers)]
    with started(threads, start):
        pass
    assert all(type(o) is int for o in outcomes), outcomes
    assert sum(outcomes) > 0
    assert (spec.min_value, spec.max_value) == (0, 10) and repr(spec) == "Int(min=0, max=10)"
    with pytest.raises(ValueError):
        spec.apply(-1)
    assert spec.set_default(3) is spec  # no hold left behind


def test_no_leak():
    from leaks import assert_no_leak

    def once():
        Int().extend(Int(min_value=0, max_value=9, strict=True).set_transform(ident))
        Int(default=1, frozen=True).extend(Enum([1, 2]))
        Union([Int(), Str()]).extend(Union([Int(min_value=0), Str()]))
        List(Int()).extend(List(Int(min_value=0), max_size=4))
        Tuple(Int()).extend(Tuple(Int(), min_size=1, max_size=3))
        Callable().extend(Callable([Int()], kw=[("x", Str())], returns=Bool()))
        Dict([("a", Int(default=1))]).extend(Dict([("b", Int(default=2))]))
        Str().extend(Str(regex="a"))
        for child, base in [(Int(max_value=-1), Int(min_value=0)), (Int(), Str()),
                            (Enum([1, 5]), Int(max_value=3)), (Tuple([Int()]), Tuple(Int(), min_size=2)),
                            (Union([Int(), Bool()]), Union([Float(), Int()]))]:
            with pytest.raises(TypeError):
                child.extend(base)

    assert_no_leak(once)
