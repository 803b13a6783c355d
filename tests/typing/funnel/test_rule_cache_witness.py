"""The rules of a Union (from its type map) and of a Tuple (from its list of element
fields) are cached too, although Python code may change the map and the list in place
without any spec noticing. Every such change, and every change to a spec or field they
hold, at any depth, must reach the next apply: it answers as the full road does."""

import threading

import pytest

import vesk_core._native as native
from test_container_fast_paths import BORROWED, REFUSED, agree, outcome, without_shortcuts
from races import run_against_mutator

Dict, Field, Float, Int, List, Str, Tuple, Union = (
    native.Dict, native.Field, native.Float, native.Int, native.List, native.Str, native.Tuple,
    native.Union)


def plus_one(v):
    return v + 1


def union():
    u = Union([Int(), Str()])
    return u, u._candidate_type_map, [1, "a"]


def tuple_():
    t = Tuple([Int(), Str()])
    return t, t.elements, [(1, "a")]


def set_item(key, make):
    def change(parts):
        parts[key] = make(parts)
    return change


# Changes to what a cached Union rule read: entries of its type map (added, replaced,
# removed, cleared, updated) and a candidate spec.
UNION_CHANGES = [
    set_item(int, lambda m: Int(min_value=5)),
    set_item(int, lambda m: Int().set_transform(plus_one)),
    set_item(float, lambda m: Float()),
    lambda m: m.pop(int),
    lambda m: m.clear(),
    lambda m: m.update({str: Str(regex="b")}),
    lambda m: m.setdefault(bytes, Str()),
    lambda m: m[int].set_transform(plus_one),
    lambda m: m[str].noneable(),
]

# Changes to what a cached Tuple rule read: its element list (item replaced, added,
# removed, reordered) and a field's spec or validator.
TUPLE_CHANGES = [
    lambda f: f.__setitem__(0, f[1]),
    lambda f: f.append(f[0]),
    lambda f: f.pop(),
    lambda f: f.reverse(),
    lambda f: f.__setitem__(slice(None), [f[1], f[0]]),
    lambda f: f[0].value.set_transform(plus_one),
    lambda f: f[1].value.set_strict(True) and None,
    lambda f: f[0].set_validator(lambda v: 1 / 0),
]

# How deep the element sits: a list of it, a list of lists, inside a tuple position,
# and inside the list field of a dict record (the dict's constant-key check).
NESTINGS = [
    (lambda e: List(e), lambda d: d),
    (lambda e: List(List(e)), lambda d: [d, d[:1]]),
    (lambda e: List(Tuple([List(e), Int()])), lambda d: [(d, 1)]),
    (lambda e: List(Dict([("k", List(e)), ("n", Int())])), lambda d: [{"k": d, "n": 1}]),
]

CASES = [(union, c) for c in UNION_CHANGES] + [(tuple_, c) for c in TUPLE_CHANGES]


@pytest.mark.parametrize("make, change", CASES)
@pytest.mark.parametrize("outer, wrap", NESTINGS)
@pytest.mark.parametrize("inplace", [True, False])
def test_a_change_in_place_drops_the_cached_union_or_tuple_rule(make, change, outer, wrap,
                                                                inplace):
    element, parts, data = make()
    spec, value = outer(element), wrap(data)
    for _ in range(2):  # caches the rules of the element and of every spec above it
        assert outcome(spec, value, inplace=inplace)[0] == "ok"
    change(parts)
    got = outcome(spec, value, inplace=inplace)
    assert agree(got, without_shortcuts(spec, value, inplace=inplace))
    # once more, now that the rule was derived again from the changed state
    assert agree(outcome(spec, value, inplace=inplace), got)


def test_a_field_moved_between_tuples_is_followed_by_both():
    a, b = Tuple([Int(), Str()]), Tuple([Str(), Int()])
    spec_a, spec_b = List(a), List(b)
    assert spec_a.apply([(1, "x")]) == [(1, "x")]
    assert spec_b.apply([("x", 1)]) == [("x", 1)]
    a.elements[0], b.elements[0] = b.elements[0], a.elements[0]
    for spec, value in ((spec_a, [(1, "x")]), (spec_b, [("x", 1)])):
        assert agree(outcome(spec, value), without_shortcuts(spec, value))
        assert outcome(spec, value)[0] == "raised"


def test_a_shared_type_map_is_followed_by_the_union_and_its_copy():
    import copy
    u = Union([Int(), Str()])
    twin = copy.copy(u)  # shares the map
    specs = [List(u), List(twin)]
    for s in specs:
        assert s.apply([1]) == [1]
    u._candidate_type_map[int] = Int(min_value=5)
    for s in specs:
        with pytest.raises(ValueError):
            s.apply([1])


def test_eight_threads_applying_while_the_type_map_changes():
    """The map sends int to a candidate the value passes or one it fails; each apply
    gives the one or the other answer, and once the changes stop the last one holds."""
    u = Union([Int(), Str()])
    m = u._candidate_type_map
    plain, bounded = m[int], Int(min_value=100)
    spec = List(Tuple([u, Str()]))
    stop = threading.Event()
    failures = [[] for _ in range(9)]

    def mutator():
        k = 0
        while not stop.is_set():
            m[int] = bounded if k % 2 else plain
            k += 1

    def worker(slot):
        data = [(slot, "a"), ("b", "c")]
        for _ in range(300):
            try:
                out = spec.apply(list(data), inplace=False)
            except ValueError:
                continue  # the bounded candidate's answer
            except RuntimeError as e:
                if str(e) != BORROWED and not str(e).startswith(REFUSED):
                    failures[slot].append(e)
                continue
            if out != data:
                failures[slot].append(("wrong answer", out))

    run_against_mutator(worker, mutator, stop)
    assert failures == [[] for _ in range(9)]
    m[int] = bounded
    for _ in range(2):
        with pytest.raises(ValueError):
            spec.apply([(1, "a")])


def test_cached_tuple_rules_release_the_fields_they_held():
    from leaks import assert_no_leak

    t = Tuple([Int(), Str()])
    spec = List(List(t))

    def once():
        fields = t.elements
        fields[0] = Field(fields[0].key, Int())  # the old field goes once the rule does
        assert spec.apply([[(1, "a")]], inplace=False) == [[(1, "a")]]

    assert_no_leak(once)


def test_a_tuple_that_holds_itself_is_applied_by_the_full_road():
    t = Tuple([Int(), Str()])
    t.elements[1] = Field(t.elements[1].key, t)
    spec = List(t)
    value = [(1, (2, (3, "a")))]
    assert agree(outcome(spec, value), without_shortcuts(spec, value))


seams = pytest.importorskip("vesk_core._typing_seams")


def rule_of(spec, allow=True):
    kind, payload, allow_none, widen, kept = seams.elem_rule(native.__file__, spec, allow)
    return kind, payload, allow_none, widen, kept


class Loose:
    """An element field written in Python: its rule reads `value` by name."""
    @property
    def value(self):
        return Int()


KEPT = [
    (lambda: Union([Int(), Str()]), "ExactTypes"),
    (lambda: Tuple([Int(), Str()]), "Tuple"),
    (lambda: Tuple([Union([Int(), Str()]), Tuple([Float(), List(Str())])]), "Tuple"),
    (lambda: List(Tuple([Union([Int(), Str()])])), "List"),
    (lambda: Dict([("a", List(Tuple([Int()]))), ("b", Int())]), "ConstKeyDict"),
]


@pytest.mark.parametrize("make, kind", KEPT)
def test_union_and_tuple_rules_are_kept_until_what_they_read_changes(make, kind):
    spec = make()
    assert rule_of(spec)[0] == kind
    assert rule_of(spec)[4] is True
    Int().noneable()  # any change to typing state: derived again, and kept again
    assert rule_of(spec)[4] is True


def test_a_tuple_rule_that_read_a_field_written_in_python_is_not_kept():
    t = Tuple([Int(), Str()])
    assert rule_of(t)[4] is True
    t.elements[1] = Loose()
    assert rule_of(t)[0::4] == ("Tuple", False)
    assert rule_of(List(t))[0::4] == ("List", False)


@pytest.mark.parametrize("make", [
    lambda: Int(), lambda: Float(), lambda: Float(strict=True), lambda: Str(),
    lambda: native.Bool(), lambda: Int().noneable(), lambda: Float().noneable(),
    lambda: Union([Int(), Str()]), lambda: Union([Int(), Str()], is_noneable=True),
    lambda: Union([Float(), Str()]), lambda: Int(min_value=0), lambda: Str(regex="a"),
    lambda: Int().set_transform(plus_one), lambda: native.Any(),
])
def test_the_field_record_and_the_element_rule_accept_the_same_classes(make):
    spec = make()
    kind, payload, allow_none, widen, _ = rule_of(spec, False)
    record = Field("x", spec)._field_meta_probe()
    none = {type(None)} if allow_none else set()
    if kind == "ExactType":
        assert set(record["exact"]) == {payload} | none
        assert widen is record["widen_to_float"]
    elif kind == "ExactTypes":
        assert set(record["exact"]) == set(payload) | none
    elif kind == "AcceptAny":
        assert set(seams.any_fast_scalar_types()) <= set(record["exact"])
    elif kind == "Bounded":
        # The record checks the class by the spec; the rule compares the bounds itself.
        assert record["exact"] == tuple(none) and payload in dict(record["checked"])
    else:
        assert kind == "Slow" and record["exact"] == ()
        assert record["checked"] or record["custom_apply"]


@pytest.mark.parametrize("outer", [lambda t: t, lambda t: List(List(t))])
def test_a_cycle_through_the_fields_a_kept_rule_holds_is_collected(outer):
    import gc
    import weakref

    class Holder:
        pass

    t = Tuple([native.Object(Holder), Int()])
    Holder.spec = outer(t)  # the class holds the spec whose kept rule holds its field
    assert rule_of(Holder.spec)[4] is True
    gone = weakref.ref(Holder)
    del Holder, t
    gc.collect()
    assert gone() is None


def test_eight_threads_applying_while_a_tuples_element_list_changes():
    """Position 0 holds an Int field or a Str field in turn: each apply accepts the int
    or refuses it as the full road does, and once the changes stop the last list holds."""
    t = Tuple([Int(), Str()])
    fields = t.elements
    as_int, as_str = fields[0], Field(fields[0].key, Str())
    spec = List(List(t))
    stop = threading.Event()
    failures = [[] for _ in range(9)]

    def mutator():
        k = 0
        while not stop.is_set():
            fields[0] = as_str if k % 2 else as_int
            k += 1

    def worker(slot):
        data = [[(slot, "a")], [(slot + 1, "b"), (slot + 2, "c")]]
        for _ in range(300):
            try:
                out = spec.apply([list(inner) for inner in data], inplace=False)
            except TypeError as e:
                if "Expect <class 'str'> but encountered <class 'int'>" not in str(e):
                    failures[slot].append(e)
                continue
            if out != data:
                failures[slot].append(("wrong answer", out))

    run_against_mutator(worker, mutator, stop)
    assert failures == [[] for _ in range(9)]
    fields[0] = as_str
    for _ in range(2):
        with pytest.raises(TypeError):
            spec.apply([[(1, "a")]])
    fields[0] = as_int
    assert spec.apply([[(1, "a")]]) == [[(1, "a")]]


@pytest.mark.parametrize("change", [
    lambda c: c.append(Float()),
    lambda c: c.clear(),
    lambda c: c.reverse(),
    lambda c: c.__setitem__(0, Int(min_value=5)),
])
def test_a_change_to_a_unions_candidate_list_answers_as_the_full_road(change):
    """The rule reads the type map, not the candidate list; whatever the full road makes
    of a changed list, the kept rule must not answer otherwise."""
    u = Union([Int(), Str()])
    spec = List(Tuple([u, Int()]))
    value = [(1, 2), ("a", 3), (1.5, 4)]
    for _ in range(2):
        outcome(spec, value)
    change(u.candidates)
    assert agree(outcome(spec, value), without_shortcuts(spec, value))


class IntChild(int):
    pass


# A list of fixed tuples of exact classes is scanned with the class tests inlined; each
# way an item can fall out of that scan must still answer as the full road does.
@pytest.mark.parametrize("make", [
    lambda: List(Tuple([Int(), Str()])),
    lambda: List(Tuple([Int().noneable(), Str()])),
    lambda: List(Tuple([Int(), Str()]).noneable()),
    lambda: List(Tuple([Float(), Int()])),
    lambda: List(Tuple([Int(), native.Bool()])),
])
@pytest.mark.parametrize("value", [
    [(1, "a"), (2, "b")],
    [(1, "a"), None],
    [(None, "a"), (2, "b")],
    [(1, "a"), (2,)],
    [(1, "a"), (2, "b", 3)],
    [(1, "a"), [2, "b"]],
    [(True, "a")],
    [(IntChild(1), "a")],
    [(1.5, 2), (2, 3)],
    [()],
    [],
])
def test_the_inlined_scan_of_exact_tuples_answers_as_the_full_road(make, value):
    spec = make()
    for inplace in (True, False):
        assert agree(outcome(spec, value, inplace=inplace),
                     without_shortcuts(spec, value, inplace=inplace))
