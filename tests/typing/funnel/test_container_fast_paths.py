"""List and Tuple accept a container of exact elements whole, and that shortcut never
changes a result: a plain list/tuple subclass forces the full road for comparison."""

import copy
import struct
import sys
import threading
from fractions import Fraction
import tracemalloc

import pytest
from hypothesis import given, settings, strategies as st

import vesk_core._native as native
from races import run_against_mutator

Any, Bool, Float, Int, Str = native.Any, native.Bool, native.Float, native.Int, native.Str
Dict, List, Tuple = native.Dict, native.List, native.Tuple
seams = pytest.importorskip("vesk_core._typing_seams")
BORROWED = "Already mutably borrowed"
HELD = ("Already mutably borrowed", "Already borrowed")  # a shared or an exclusive hold refused
# a mutation while an apply holds the spec
REFUSED = "Cannot mutate this object while another operation holds it"


class PlainList(list):
    pass


class PlainTuple(tuple):
    pass


class PlainDict(dict):
    pass


def full_road(value):
    """The same data in a container the shortcut never accepts."""
    if type(value) is list:
        return PlainList(full_road(v) for v in value)
    if type(value) is tuple:
        return PlainTuple(full_road(v) for v in value)
    if type(value) is dict:
        return PlainDict((k, full_road(v)) for k, v in value.items())
    return value


def shape(value, ids=None):
    """Every leaf's exact class and value; containers compared as sequences, dicts in
    their order; with `ids`, each list or dict also says which container of the input
    it is (None for a new one), so a copy is told from the very object."""
    ids = ids or {}
    if isinstance(value, (list, tuple)):
        return ("seq", ids.get(id(value)), [shape(v, ids) for v in value])
    if isinstance(value, dict):
        return ("map", ids.get(id(value)), [(k, shape(v, ids)) for k, v in value.items()])
    return (type(value), value)


def positions(value, out=None):
    """Each list and dict of the input by its place in a walk of it."""
    out = {} if out is None else out
    if isinstance(value, (list, dict)):
        out.setdefault(id(value), len(out))
    if isinstance(value, (list, tuple)):
        for v in value:
            positions(v, out)
    elif isinstance(value, dict):
        for v in value.values():
            positions(v, out)
    return out


def has_dict(value):
    if isinstance(value, dict):
        return True
    return isinstance(value, (list, tuple)) and any(has_dict(v) for v in value)


def outcome(spec, value, identities=True, **kwargs):
    """The result and what the apply left in the data it was given (its write-backs)."""
    data = copy.deepcopy(value)
    ids = positions(data) if identities else {}
    try:
        return "ok", shape(spec.apply(data, **kwargs), ids), shape(data, ids)
    except Exception as e:  # noqa: BLE001 - the class and message are compared
        # the refused subclasses name themselves where a type is quoted
        text = str(e).replace(f"{__name__}.PlainList", "list")
        text = text.replace(f"{__name__}.PlainDict", "dict")
        return "raised", type(e), text.replace(f"{__name__}.PlainTuple", "tuple"), shape(data, ids)


def agree(got, ref):
    """Shapes that match, where a container the shortcut took whole (the input object
    itself) may stand for a copy that the full road made with the same content."""
    if isinstance(got, tuple) and got and got[0] in ("seq", "map"):
        if not (isinstance(ref, tuple) and ref and ref[0] == got[0]):
            return False
        if got[1] != ref[1] and not (ref[1] is None and got[1] is not None):
            return False
        if len(got[2]) != len(ref[2]):
            return False
        if got[0] == "map":
            return all(gk == rk and agree(gv, rv) for (gk, gv), (rk, rv) in zip(got[2], ref[2]))
        return all(agree(g, r) for g, r in zip(got[2], ref[2]))
    if isinstance(got, tuple) and isinstance(ref, tuple) and len(got) == len(ref) and got[:1] in (
            ("ok",), ("raised",)):
        return all(agree(g, r) for g, r in zip(got, ref))
    return got == ref


def plain_rules_only(spec, value, **kwargs):
    """The same plain data with only the rules beyond the plain ones switched off: the
    shortcuts stay, so what they take whole (the input itself) is the reference too."""
    seams.set_added_rules(native.__file__, False)
    try:
        return outcome(spec, value, **kwargs)
    finally:
        seams.set_added_rules(native.__file__, True)


def without_shortcuts(spec, value, **kwargs):
    """The same plain data with every shortcut and native road switched off."""
    seams.set_shortcuts(native.__file__, False)
    try:
        return outcome(spec, value, **kwargs)
    finally:
        seams.set_shortcuts(native.__file__, True)



leaf_specs = st.sampled_from(
    [
        lambda: Int(),
        lambda: Int(min_value=0),
        lambda: Float(),
        lambda: Str(),
        lambda: Bool(),
        lambda: Any(),
        lambda: Any(default=1, frozen=True),
        lambda: Int().set_transform(lambda v: v + 1),
        lambda: Int().noneable(),
        lambda: Str(regex="a.*"),
        lambda: native.Union([Int(), Str()]),
        lambda: native.Union([Int(), Str(regex="a.*")], is_noneable=True),
        lambda: native.Union([Float(), List(Int())]),
        lambda: Float().noneable().set_transform(lambda v: v),
        lambda: Float().noneable(),
        lambda: Float(strict=True),
        lambda: Float(max_value=1.0),
        lambda: Dict([("a", Float()), ("b", Int())]),
        lambda: Dict([("a", Float().noneable()), ("b", List(Float()))]),
        lambda: Dict([("a", Str()), ("b", Float(min_value=0.0))]),
        lambda: Dict([("a", Int())]).noneable(),
        lambda: Dict(),
    ]
)


def container_specs(children):
    sizes = st.tuples(st.integers(0, 3), st.one_of(st.none(), st.integers(0, 4)))
    return st.one_of(
        st.builds(
            lambda e, s: lambda: List(e(), min_size=s[0], max_size=s[1])
            if s[1] is None or s[1] >= s[0] else List(e()),
            children, sizes,
        ),
        # No positions: the zero-length fixed form, which only equal bounds of 0 make.
        st.builds(lambda es: lambda: Tuple([e() for e in es]) if es else Tuple(Int(), size=0),
                  st.lists(children, max_size=3)),
        st.builds(lambda e: lambda: Tuple(e()), children),
        # containers that take None as it is, and a dict whose field holds one
        st.builds(lambda e: lambda: List(e()).noneable(), children),
        st.builds(lambda e: lambda: Dict([("a", List(e()))]).noneable(), children),
    )


specs = st.recursive(leaf_specs, container_specs, max_leaves=4)

scalars = st.one_of(
    st.integers(-3, 3), st.booleans(), st.floats(allow_nan=False, width=32),
    st.sampled_from(["", "a", "ab", "b"]), st.none(), st.just(b"x"),
)
# records of the Dict specs above: right, widened, missing, extra and wrong entries
records = st.dictionaries(st.sampled_from(["a", "b", "z"]),
                          st.one_of(scalars, st.lists(scalars, max_size=2)), max_size=3)
leaves = st.one_of(scalars, records)
values = st.recursive(
    leaves,
    lambda kids: st.one_of(st.lists(kids, max_size=4), st.lists(kids, max_size=3).map(tuple),
                           # a long run of one record, then whatever follows: the full road
                           # takes over where the shortcut stopped
                           st.tuples(records, st.integers(0, 6), st.lists(kids, max_size=2))
                           .map(lambda t: [copy.deepcopy(t[0]) for _ in range(t[1])] + t[2])),
    max_leaves=10,
)


def identity_transform(path, field, v):
    return v


def scaling_transform(path, field, v):
    return v * 10 if type(v) is int else v


def marked_transform(path, field, v):
    return v


marked_transform._vesk_scalar_identity = True


@settings(max_examples=500, deadline=None)
@given(make=specs, value=values, inplace=st.booleans(),
       transform=st.sampled_from([None, identity_transform, scaling_transform, marked_transform]))
def test_the_shortcut_answers_like_the_full_road(make, value, inplace, transform):
    spec = make()
    kwargs = {"inplace": inplace, "child_transform": transform}
    got = outcome(spec, value, **kwargs)
    # the plain rules alone, no leniency: result, message, write-backs, which containers
    # are the caller's own and which are new
    assert got == plain_rules_only(spec, value, **kwargs)
    # the same plain data with every shortcut off: result, message and write-backs
    assert agree(got, without_shortcuts(spec, value, **kwargs))
    if not has_dict(value):
        # a subclass forces the full road; it is worked on in place whatever `inplace` says
        got = outcome(spec, value, identities=False, **kwargs)
        reference = outcome(spec, full_road(value), identities=False, **kwargs)
        assert got[:-1] == reference[:-1]
        if inplace:
            assert got[-1] == reference[-1]




# --- the native element road: every element rule, the full road taking over at the
# first element a rule cannot decide ------------------------------------------------------

element_specs = [
    lambda: Int(), lambda: Float(), lambda: Float().noneable(), lambda: Float(strict=True),
    lambda: Float(min_value=0.0), lambda: Int().noneable(), lambda: Str(), lambda: Any(),
    lambda: native.Union([Int(), Str()]), lambda: native.Union([Int(), Float()]).noneable(),
    lambda: Tuple([Int(), Str()]), lambda: Tuple(Float()), lambda: List(Float()),
    lambda: Dict([("a", Float()), ("b", Int())]),
    lambda: Dict([("a", Float().noneable()), ("b", List(Str()))]),
    lambda: Dict([("a", Float(max_value=5.0)), ("b", Str())]),
    lambda: Dict([("a", Int()), ("b", Float().set_transform(lambda v: v * 2))]),
    lambda: Tuple([Float(), Str()]), lambda: List(Int(), max_size=2).noneable(),
    lambda: List(List(Float())), lambda: Dict([("a", Float()), ("b", Int())]).noneable(),
    lambda: List(Dict([("a", Float()), ("b", Int())])),
    lambda: Dict([("a", Int(min_value=0, max_value=7)), ("b", Str(regex="x.*"))]),
    lambda: Dict([("a", Float(max_value=Fraction(5))), ("b", Int().noneable())]),
    lambda: Dict([("a", Int())]).noneable(), lambda: Tuple([Int(), Str()]).noneable(),
]
pool = [
    0, 7, -2, 10**30, 1.5, -0.0, True, None, "s", b"x", (1, "a"), (1, 2), (1.5,), (),
    [1, 2.5], [1, "x"], [],
    {"a": 1, "b": 2}, {"a": 1.5, "b": 2}, {"b": 2, "a": 3}, {"a": 1.0, "b": "x"},
    {"a": None, "b": ["x"]}, {"a": 2, "b": ["x", "y"]}, {"a": 2, "b": ["x", 3]},
    {"a": 9, "b": "s"}, {"a": 1, "b": 2, "z": 0}, {"a": 1}, {"a": "q", "b": 1.5},
    (2, "a"), (2.5, "a"), [1, 2, 3], [[1, 2], [3.5]], [[1], ["x"]], [{"a": 1, "b": 2}],
    {"a": 3, "b": "xy"}, {"a": -1, "b": "xy"}, {"a": 3, "b": "y"}, {"a": 8, "b": None},
]
elements = st.sampled_from(pool).map(copy.deepcopy)
runs = st.tuples(elements, st.integers(0, 12), st.lists(elements, max_size=4)).map(
    lambda t: [copy.deepcopy(t[0]) for _ in range(t[1])] + t[2])


@settings(max_examples=600, deadline=None)
@given(index=st.sampled_from(range(len(element_specs))), nested=st.booleans(),
       value=st.one_of(runs, st.lists(runs, max_size=3)), inplace=st.booleans())
def test_the_element_road_answers_like_the_full_road(index, nested, value, inplace):
    element = element_specs[index]()
    spec = List(List(element)) if nested else List(element)
    got = outcome(spec, value, inplace=inplace)
    assert got == plain_rules_only(spec, value, inplace=inplace)
    assert agree(got, without_shortcuts(spec, value, inplace=inplace))
    if not has_dict(value):
        plain = outcome(spec, value, identities=False, inplace=inplace)
        reference = outcome(spec, full_road(value), identities=False, inplace=inplace)
        assert plain[:-1] == reference[:-1]


class Point:
    """An object element; kept itself by the deep copies `outcome` makes, so that runs
    compare it by identity."""

    def __deepcopy__(self, memo):
        return self


POINT = Point()

# Noneable element specs of every rule kind, each with an element its rule takes whole.
noneable_elements = {
    "dict": (lambda: Dict([("a", Int())]).noneable(), {"a": 1}),
    "dict of a list": (lambda: Dict([("a", List(Int()))]).noneable(), {"a": [1]}),
    "list": (lambda: List(Int()).noneable(), [1]),
    "list of dicts": (lambda: List(Dict([("a", Int())])).noneable(), [{"a": 1}]),
    "tuple": (lambda: Tuple([Int(), Str()]).noneable(), (1, "a")),
    "tuple of a dict": (lambda: Tuple([Dict([("a", Int())])]).noneable(), ({"a": 1},)),
    "object": (lambda: native.Object(Point).noneable(), POINT),
    "union": (lambda: native.Union([Int(), Str()]).noneable(), "a"),
}
# Where the list of such elements sits: alone, or one level down in a list, a dict
# field, a tuple position or a noneable dict.
enclosures = {
    "alone": (lambda e: List(e), lambda v: v),
    "in a list": (lambda e: List(List(e)), lambda v: [v, []]),
    "in a dict": (lambda e: Dict([("x", List(e))]), lambda v: {"x": v}),
    "in a tuple": (lambda e: Tuple([List(e), Int()]), lambda v: (v, 1)),
    "in a noneable dict": (lambda e: List(Dict([("x", List(e))]).noneable()),
                           lambda v: [{"x": v}, None]),
}


@pytest.mark.parametrize("where", list(enclosures))
@pytest.mark.parametrize("kind", list(noneable_elements))
def test_none_among_elements_answers_like_the_plain_rules(kind, where):
    make, element = noneable_elements[kind]
    enclose, place = enclosures[where]
    spec = enclose(make())
    for marks in ("-xx", "x-x", "xx-", "--", "xx"):  # where None stands
        value = place([copy.deepcopy(element) if m == "x" else None for m in marks])
        for inplace in (False, True):
            got = outcome(spec, value, inplace=inplace)
            assert got == plain_rules_only(spec, value, inplace=inplace), (marks, inplace)
            assert agree(got, without_shortcuts(spec, value, inplace=inplace)), (marks, inplace)


@pytest.mark.parametrize("spec, value", [
    (lambda: List(Tuple([Float(), Str()])), [(1.5, "a"), (2, "b"), (3, 4)]),
    (lambda: List(Tuple(Float(), max_size=2)), [(1.5,), (2, 3), (1, 2, 3)]),
    (lambda: List(List(Float())), [[1.5], [2, 2.5], [3], ["x"]]),
    (lambda: List(List(Int()).noneable()), [[1], None, [2, "x"]]),
    (lambda: List(List(Dict([("a", Float())]))), [[{"a": 1.5}], [{"a": 2}], [{"a": "q"}]]),
    (lambda: List(Dict([("a", Float()), ("b", Int())]).noneable()),
     [{"a": 1.5, "b": 1}, None, {"b": 2, "a": 3}, {"a": 1, "b": 2.5}]),
    (lambda: List(Tuple([Dict([("a", Float())]), Int()])), [({"a": 1.5}, 1), ({"a": 2}, 3)]),
    (lambda: List(Dict([("n", Int(min_value=0)), ("s", Str(regex="a.*")),
                        ("f", Float(max_value=100.0))])),
     [{"n": 1, "s": "ab", "f": 2.5}, {"n": 2, "s": "a", "f": 7}, {"n": 3, "s": "b", "f": 1.0},
      {"n": -1, "s": "a", "f": 1.0}, {"n": 1, "s": "a", "f": 101}]),
    (lambda: List(Dict([("f", Float(min_value=Fraction(1, 2)))])), [{"f": 0.75}, {"f": 1}, {"f": 0}]),
])
def test_each_rule_converts_as_the_full_road_does(spec, value):
    s = spec()
    for inplace in (True, False):
        assert agree(outcome(s, value, inplace=inplace),
                     without_shortcuts(s, value, inplace=inplace))
        # every prefix: the full road takes over at each element in turn
        for k in range(len(value)):
            assert agree(outcome(s, value[k:], inplace=inplace),
                         without_shortcuts(s, value[k:], inplace=inplace))


@pytest.mark.parametrize("spec, value, expect", [
    (lambda: List(Float()), [1.5, 2, True, 10**400], OverflowError),
    (lambda: List(Float()), [1.5] * 5 + [3, "x"], "Expect <class 'float'> but encountered"),
    (lambda: List(Dict([("a", Float())])), [{"a": 1.5}] * 3 + [{"a": 2}, {"a": "x"}],
     "(path=[4].a)"),
    (lambda: List(Dict([("a", Float(max_value=1.0))])), [{"a": 0.5}, {"a": 2}], "(path=[1].a)"),
])
def test_a_failure_after_widened_elements_keeps_the_full_roads_message_and_writes(
        spec, value, expect):
    s = spec()
    for inplace in (True, False):
        got, ref = outcome(s, value, inplace=inplace), without_shortcuts(s, value, inplace=inplace)
        assert got[0] == "raised" and agree(got, ref)
        if isinstance(expect, str):
            assert expect in got[2]
        else:
            assert got[1] is expect


def test_widening_writes_only_where_the_full_road_does():
    ints = [1, 2.5, 3]
    out = List(Float()).apply(ints)  # in place: the list itself, its ints replaced
    assert out is ints and [type(v) for v in ints] == [float] * 3
    records = [{"a": 1, "b": 2}, {"a": 1.5, "b": 2}]
    spec = List(Dict([("a", Float()), ("b", Int())]))
    copied = spec.apply(records, inplace=False)
    assert records == [{"a": 1, "b": 2}, {"a": 1.5, "b": 2}] and type(records[0]["a"]) is int
    assert copied[0] is not records[0] and copied[1] is records[1]
    inplace = spec.apply(records)
    assert inplace is records and inplace[0] is records[0] and type(records[0]["a"]) is float
    # a copy has the schema's order, as the schema's own apply gives it
    shuffled = [{"b": 2, "a": 3}]
    for inplace in (False, True):
        got = outcome(spec, shuffled, inplace=inplace)
        assert agree(got, without_shortcuts(spec, shuffled, inplace=inplace))
        assert [k for k, _ in got[1][2][0][2]] == (["b", "a"] if inplace else ["a", "b"])


@pytest.mark.parametrize("spec, make", [
    (lambda: List(Int()), lambda n: list(range(n))),
    (lambda: List(native.Union([Int(), Str()])), lambda n: [i if i % 2 else "s" for i in range(n)]),
    (lambda: List(Int().noneable()), lambda n: [None if i % 10 == 0 else i for i in range(n)]),
    (lambda: List(Tuple([Int(), Str()])), lambda n: [(i, "s") for i in range(n)]),
    (lambda: List(Dict([("a", Int()), ("b", List(Str())), ("c", Float().noneable())])),
     lambda n: [{"a": i, "b": ["x"], "c": None if i % 3 else 1.5} for i in range(n)]),
])
def test_valid_data_is_accepted_without_growing_memory(spec, make):
    s, data = spec(), make(20_000)
    s.apply(data)  # anything built once (records, rules) is built now
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(3):
            assert s.apply(data) is data
        grown = tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()
    assert grown < 4096  # nothing per element: a few call frames at most


def test_widening_allocates_only_the_new_floats_and_the_copy():
    data = list(range(1000, 21_000))
    spec = List(Float())
    spec.apply(data, inplace=False)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        out = spec.apply(data, inplace=False)
        grown = tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()
    assert out == [float(v) for v in data]
    # a new float and one pointer of the copy per element, with a pointer's worth
    # of slack; object sizes differ between builds (the free-threaded header is larger)
    pointer = struct.calcsize("P")
    assert grown < len(data) * (sys.getsizeof(1.0) + 2 * pointer)


@pytest.mark.parametrize(
    "spec, value",
    [
        (lambda: List(Int()), [1, 2, 3]),
        (lambda: List(Any()), [None, 1, "a", (1,), b"x", frozenset(), {}, []]),
        (lambda: List(Str(), min_size=1, max_size=2), ["a", "b"]),
        (lambda: Tuple([Int(), Str()]), (1, "a")),
        (lambda: Tuple(Int(), size=0), ()),
        (lambda: Tuple([Any()]), ({"k": [1]},)),
    ],
)
def test_a_container_of_exact_elements_is_returned_itself_even_without_inplace(spec, value):
    assert spec().apply(value, inplace=False) is value


@pytest.mark.parametrize(
    "spec, value, kept",
    [
        # the inner lists are taken whole by their own List, the outer one is copied
        (lambda: List(List(Int(), max_size=2)), [[1, 2], [], [3]], [True, True, True]),
        (lambda: List(List(Int(min_value=0))), [[1, 2], [3]], [False, False]),
        (lambda: List(Int(min_value=0)), [1, 2], [True, True]),
        (lambda: List(native.Union([Int(), Str()])), [1, "a"], [True, True]),
        (lambda: List(Int().noneable()), [1, None], [True, True]),
        # a dict of checked fields has no exact classes to check: the schema copies it
        (lambda: List(Dict([("n", Int(min_value=0)), ("s", Str(regex="a.*"))]).noneable()),
         [{"n": 1, "s": "ab"}, None], [False, True]),
        (lambda: List(Dict([("a", List(Int()))])), [{"a": [1]}], [False]),
        # tuples cannot be changed: they may stay as they are
        (lambda: List(Tuple([Int(), Str()]).noneable()), [(1, "a"), None], [True, True]),
        (lambda: List(Tuple([Int(), Int()])), [(1, 2)], [True]),
    ],
)
def test_a_rule_beyond_the_plain_ones_gives_the_full_roads_copies_without_inplace(
        spec, value, kept):
    s = spec()
    out = s.apply(value, inplace=False)
    assert out == value and out is not value
    assert [a is b for a, b in zip(out, value)] == kept
    assert s.apply(value) is value  # in place the list itself is the result
    for single, item in ((Dict([("a", Int(min_value=0))]), {"a": 1}),
                         (Dict([("a", Str(regex="x"))]), {"a": "x"})):
        got = single.apply(item, inplace=False)
        assert got == item and got is not item and single.apply(item) is item


@pytest.mark.parametrize(
    "spec, value, raises",
    [
        (lambda: List(Int()), [1, True], None),  # bool is not int by identity
        (lambda: List(Int()), PlainList([1, 2]), None),
        (lambda: List(Float()), [1, 2.0], None),  # widened by the full road
        (lambda: List(Int(), max_size=1), [1, 2], ValueError),
        (lambda: Tuple([Int(), Int()]), (1,), ValueError),
        (lambda: Tuple([Int()]), [1], TypeError),
        (lambda: List(Int().set_transform(lambda v: v)), [1], None),
        (lambda: List(Any(default=1, frozen=True)), [None], ValueError),
    ],
)
def test_anything_in_doubt_goes_to_the_full_road(spec, value, raises):
    s = spec()
    if raises:
        with pytest.raises(raises):
            s.apply(value)
    else:
        out = s.apply(value, inplace=False)
        assert out is not value or type(value) is not list


def test_containers_count_as_any_only_without_a_child_transform():
    seen = []

    def transform(path, field, v):
        seen.append(v)
        return v

    data = [{"a": 1}, [2]]
    assert List(Any()).apply(data) is data and seen == []
    assert List(Any()).apply(data, child_transform=transform) == data
    assert seen  # the full road reached the elements


def test_a_scalar_identity_child_transform_keeps_the_shortcut():
    def transform(path, field, v):
        raise AssertionError("not reached for exact scalars")

    transform._vesk_scalar_identity = True
    data = [1, 2]
    assert List(Int()).apply(data, child_transform=transform, inplace=False) is data


def test_a_failing_partial_read_of_an_object_element_propagates():
    class Node:
        __vesk_maybe_partial__ = True

        @property
        def sym_partial(self):
            raise LookupError("partial state unreadable")

    spec = List(native.Object(Node))
    with pytest.raises(LookupError, match="partial state unreadable"):
        spec.apply([Node()])


def test_an_element_list_changed_by_an_object_read_is_read_safely():
    data = []

    class Node:
        __vesk_maybe_partial__ = True

        @property
        def sym_partial(self):
            data.clear()  # the list shrinks between two items
            return False

    data.extend([Node(), Node(), Node()])
    out = List(native.Object(Node)).apply(data)
    assert out is data




def test_threads_see_the_old_or_the_new_spec_or_the_borrow_error():
    spec = List(Int())
    shared = list(range(1000))
    stop = threading.Event()
    failures = [[] for _ in range(9)]

    def to_tuple(v):
        return list(v)

    def mutator():
        k = 0
        while not stop.is_set():
            try:
                spec.set_transform(to_tuple if k % 2 else None)
            except RuntimeError as e:
                if not str(e).startswith(REFUSED):
                    failures[8].append(e)
            shared[k % 1000] = k  # stays an int
            k += 1

    def worker(slot):
        mine = list(range(slot, slot + 500))
        for _ in range(300):
            for data in (shared, mine):
                try:
                    out = spec.apply(data)
                except RuntimeError as e:
                    if str(e) != BORROWED:
                        failures[slot].append(e)
                    continue
                # old spec: the list itself; new spec: a copy made by the transform
                if not (len(out) == len(data) and all(type(x) is int for x in out)):
                    failures[slot].append(("bad result", slot))
                if data is mine and out != list(range(slot, slot + 500)):
                    failures[slot].append(("not the whole answer", slot))

    run_against_mutator(worker, mutator, stop)
    assert failures == [[]] * 9
    spec.set_transform(None)
    assert spec.apply(shared) is shared


def test_eight_threads_on_one_spec_changed_meanwhile_see_the_old_or_the_new_answer():
    score = native.Field("score", Float())
    schema = native.Schema([native.Field("id", Int()), score,
                            native.Field("tags", List(Str()))])
    spec = List(Dict(schema))
    stop = threading.Event()
    failures = [[] for _ in range(9)]

    def negative(v):
        if v < 0:
            raise ValueError("negative")
        return v

    def mutator():
        k = 0
        while not stop.is_set():
            try:
                if k % 5 == 4:
                    schema._recompute_caches()
                else:
                    score.set_validator(negative if k % 2 else None)
            except RuntimeError as e:
                if not (str(e) in HELD or str(e).startswith(REFUSED)):
                    failures[8].append(e)
            k += 1

    def worker(slot):
        # ints widened to float in every record; one negative score per list
        data = [{"id": i, "score": i, "tags": ["t"]} for i in range(200)]
        data[slot * 20]["score"] = -1
        for _ in range(100):
            try:
                out = spec.apply(data, inplace=False)
            except ValueError as e:  # the new validator refused the negative score
                if f"(path=[{slot * 20}].score)" not in str(e):
                    failures[slot].append(e)
                continue
            except RuntimeError as e:
                if str(e) not in HELD:
                    failures[slot].append(e)
                continue
            scores = [r["score"] for r in out]
            if scores != [float(r["score"]) for r in data] or any(type(v) is not float
                                                                   for v in scores):
                failures[slot].append(("mixed", slot))
        assert data[slot * 20]["score"] == -1 and type(data[1]["score"]) is int

    run_against_mutator(worker, mutator, stop)
    assert failures == [[]] * 9
    # the end state: the last change is what every apply now sees
    score.set_validator(negative)
    with pytest.raises(ValueError, match="negative"):
        spec.apply([{"id": 1, "score": -2, "tags": []}])
    score.set_validator(None)
    assert spec.apply([{"id": 1, "score": -2, "tags": []}], inplace=False)[0]["score"] == -2.0


BIG = 2 ** 70


@pytest.mark.parametrize("element", [
    lambda: Int(min_value=0, max_value=BIG), lambda: Int(min_value=-BIG), lambda: Int(max_value=2.5),
    lambda: Float(min_value=0.0, max_value=1.0), lambda: Float(min_value=0),
    lambda: Float(max_value=1.0).noneable(), lambda: Int(min_value=0, strict=True),
])
@pytest.mark.parametrize("items", [
    [0, 1, BIG, BIG + 1, -BIG - 1, 2, 3], [0.5, float("nan"), 1.0, -0.0, float("inf")],
    [True, 1, 0], [1, None, 2], [0.25, 1, 0.75], [1, 2.5, 3],
], ids=["ints", "floats", "bools", "none", "int-for-float", "mixed"])
@pytest.mark.parametrize("outer, wrap", [
    (lambda e: List(e), lambda items: items),
    (lambda e: List(Tuple([e, Str()])), lambda items: [(x, "s") for x in items]),
], ids=["list", "tuple-in-list"])
def test_bounded_elements_answer_like_the_full_road(element, items, outer, wrap):
    # Bounds compared natively: big ints, mixed int and float bounds, NaN and bools
    # must give the full road's answer and message.
    spec, value = outer(element()), wrap(items)
    for inplace in (True, False):
        got = outcome(spec, value, inplace=inplace)
        assert agree(got, without_shortcuts(spec, value, inplace=inplace))
