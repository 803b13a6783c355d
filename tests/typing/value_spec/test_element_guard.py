"""A container applied element by element applies each element as the element spec's own
`apply` would at that moment: a change made meanwhile (by user code that runs between
elements, or by another thread) is seen from some element on, and sequential code that
changes a nested spec is never refused. Where nothing but the container's own loop runs
between elements, the element spec is held across them."""

import copy
import re
import sys
import threading

import pytest

import vesk_core._native as native
from races import for_a_while, run_against_mutator

Dict, Field, Int, List, Schema, Str, Tuple = (native.Dict, native.Field, native.Int, native.List,
                                              native.Schema, native.Str, native.Tuple)
BORROWED = "Already mutably borrowed"
REFUSED = "Cannot mutate this object while another operation holds it"
N = 10_000


class Reading(list):
    """Items read through Python: where the interpreter has a global lock, other
    threads run between two elements."""

    def __getitem__(self, i):
        return super().__getitem__(i)


class ReadingDict(dict):
    def get(self, k, default=None):
        return super().get(k, default)


class ReadingTuple(tuple):
    def __getitem__(self, i):
        return super().__getitem__(i)


def plus_one(v):
    return v + 1


def bounded():
    return Int(min_value=0)  # never accepted as it is: every element is applied


def open_schema(e):
    return Schema([Field(native.StrKey(), e)], allow_nonconst_keys=True)


def records(tag):
    return List(Dict(Schema([Field("id", Int()), Field("tags", List(tag))])))


# (container of the element, the element spec, its two states, the input)
ROADS = {
    "list": (List, bounded, lambda: list(range(N))),
    "list read through Python": (List, bounded, lambda: Reading(range(N))),
    "variable tuple": (lambda e: Tuple(e, min_size=1), bounded, lambda: tuple(range(N))),
    "tuple read through Python": (lambda e: Tuple(e, min_size=1), bounded,
                                  lambda: ReadingTuple(range(N))),
    "open dict": (lambda e: Dict(open_schema(e)), bounded,
                  lambda: {f"k{i}": i for i in range(N)}),
    # bools: the field's compiled record leaves them to the field's apply
    "open schema": (open_schema, bounded,
                    lambda: {f"k{i}": bool(i % 2) for i in range(N)}),
    "patterned keys read through Python": (
        lambda e: Schema([Field(native.StrKey("k.*"), e)], allow_nonconst_keys=True), bounded,
        lambda: ReadingDict({f"k{i}": bool(i % 2) for i in range(N)})),
    "list of lists": (lambda e: List(List(e)), bounded,
                      lambda: Reading(list(range(100)) for _ in range(100))),
    "records with a list field": (records, lambda: Str(regex="[a-zA-Z]"),
                                  lambda: Reading({"id": i, "tags": ["a", "b"]}
                                                  for i in range(2000))),
}
def change(element, k):
    """The element spec's change, back and forth."""
    if isinstance(element, Str):
        return element.set_transform(str.upper if k % 2 else None)
    return element.set_transform(plus_one if k % 2 else None)


@pytest.fixture
def often_switching():
    """Threads switch every few microseconds where the interpreter has a global lock, so
    a change lands inside one apply."""
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(before)


def each_leaf_of_one(out, answers):
    """Whether every leaf of `out` is that of one answer or the other at its place:
    each element saw one state of the spec, whichever was current when it was applied."""
    a, b = answers
    if isinstance(out, (list, tuple)):
        return (type(out) is type(a) and len(out) == len(a) == len(b)
                and all(each_leaf_of_one(o, (x, y)) for o, x, y in zip(out, a, b)))
    if isinstance(out, dict):
        return (list(out) == list(a) == list(b)
                and all(each_leaf_of_one(out[k], (a[k], b[k])) for k in out))
    return out == a or out == b


@pytest.mark.usefixtures("often_switching")
@pytest.mark.parametrize("road", list(ROADS))
def test_eight_threads_see_each_element_under_the_old_or_the_new_spec(road):
    wrap, make, data = ROADS[road]
    element = make()
    spec = wrap(element)
    answers = []
    for k in (0, 1):  # the answer of each state, one at a time
        change(element, k)
        answers.append(spec.apply(copy.deepcopy(data())))
    assert answers[0] != answers[1]
    stop = threading.Event()
    failures = [[] for _ in range(9)]

    def mutator():
        k = 0
        while not stop.is_set():
            try:
                change(element, k)
            except RuntimeError as e:
                if not str(e).startswith(REFUSED):
                    failures[8].append(e)
            k += 1

    def worker(slot):
        source = data()
        for _ in for_a_while(10, 8, 2):
            try:
                out = spec.apply(copy.deepcopy(source))
            except RuntimeError as e:
                if str(e) != BORROWED:
                    failures[slot].append(e)
                continue
            if not each_leaf_of_one(out, answers):
                failures[slot].append(("an element of neither state", road))

    run_against_mutator(worker, mutator, stop)
    assert failures == [[] for _ in range(9)]
    # once the changes stop, the last state answers
    want = answers[1] if element.transform is not None else answers[0]
    assert spec.apply(copy.deepcopy(data())) == want


class Changing(list):
    """Reads its items through Python, changing `element` before item `at`."""

    def __init__(self, items, element, at):
        super().__init__(items)
        self.element, self.at = element, at

    def __getitem__(self, i):
        if i == self.at:
            self.element.set_transform(plus_one)  # nothing holds it between items
        return super().__getitem__(i)


@pytest.mark.parametrize("nested", [False, True])
def test_a_change_between_elements_is_seen_from_the_next_element_on(nested):
    element = bounded()
    spec = List(List(element)) if nested else List(element)
    items = [[1, 2], [3]] if nested else [1, 2, 3]
    out = spec.apply(Changing(copy.deepcopy(items), element, 1))
    assert out == ([[1, 2], [4]] if nested else [1, 3, 4])
    assert element.transform is plus_one  # the change itself went through
    assert spec.apply(copy.deepcopy(items)) == ([[2, 3], [4]] if nested else [2, 3, 4])


def test_a_tuple_read_through_python_that_changes_its_element_sees_the_change():
    element = bounded()

    class ChangingTuple(tuple):
        def __getitem__(self, i):
            if i == 1:
                element.set_transform(plus_one)
            return super().__getitem__(i)

    spec = Tuple(element, min_size=1)
    assert spec.apply(ChangingTuple((1, 2, 3))) == (1, 3, 4)
    assert spec.apply((1, 2)) == (2, 3)


class Reaching:
    """A value with its own typing: its `custom_apply` changes another spec."""

    __vesk_custom_typing__ = True

    def __init__(self, change):
        self.change = change

    def custom_apply(self, path, spec, allow_partial=False, child_transform=None):
        self.change()
        return False, 0


@pytest.mark.parametrize("cls", [list, Reading], ids=["plain", "subclass"])
def test_sequential_code_that_changes_a_nested_spec_is_never_refused(cls):
    # A child transform changes the element spec between elements: the apply goes on.
    el = Int()
    out = List(el).apply(cls([1, 2, 3]), child_transform=lambda kp, f, v: (el.set_default(7), v)[1])
    assert out == [1, 2, 3] and el.default == 7
    # A value's custom_apply gives a Union candidate a transform: the elements after it
    # are applied by the changed candidate, as calling `apply` on each would.
    e = Int()
    times_100 = Reaching(lambda: e.set_transform(lambda v: v * 100))
    assert List(native.Union([e, Str()])).apply(cls([1, times_100, 2])) == [1, 0, 200]
    e.set_transform(None)
    mapping = ReadingDict if cls is Reading else dict
    spec = Dict([(native.StrKey(), native.Union([e, Str()]))])
    assert spec.apply(mapping({"a": 1, "b": times_100, "c": 2})) == {"a": 1, "b": 0, "c": 200}


def test_a_change_to_the_element_spec_during_its_own_apply_is_still_refused():
    # Each element's apply holds the element spec, as the spec's own apply does.
    e = Int()
    own = Reaching(lambda: e.set_transform(plus_one))
    for spec in (List(e), Dict([(native.StrKey(), e)])):
        with pytest.raises(RuntimeError, match=REFUSED):
            spec.apply([1, own] if isinstance(spec, List) else {"a": 1, "b": own})
        assert e.transform is None


def test_elements_applied_through_the_held_spec_answer_as_its_own_apply():
    element = Int(min_value=0)
    missing = native.missing_value_singleton()
    spec = List(element)
    with pytest.raises(ValueError, match=r"\(path=x\[1\]\)"):
        spec.apply([1, -1], root_path=native.KeyPath("x"))
    with pytest.raises(ValueError, match=r"Required value is not specified\. \(Path='x\[0\]'"):
        spec.apply([missing], root_path=native.KeyPath("x"))
    out = spec.apply([missing, True], allow_partial=True)
    assert out[0] is not missing and type(out[0]) is type(missing) and out[1] is True


def changing_transform(element):
    def transform(path, field, value):
        element.set_transform(plus_one)  # between two keys: nothing holds the element
        return value
    return transform


def test_a_change_between_the_keys_of_a_field_is_seen_by_the_later_keys():
    element = bounded()
    patterned = Schema([Field(native.StrKey("k.*"), List(element))], allow_nonconst_keys=True)
    out = patterned.apply({"k1": [1], "k2": [2]}, child_transform=changing_transform(element))
    assert out == {"k1": [1], "k2": [3]}
    assert patterned.apply({"k1": [1], "k2": [2]}) == {"k1": [2], "k2": [3]}
    seams = pytest.importorskip("vesk_core._typing_seams")
    element.set_transform(None)
    wildcard = open_schema(List(element))
    got = seams.validate_fields_native(native.__file__, wildcard, {"x": [1], "y": [2]}, False,
                                       changing_transform(element), None, True, False, False, True)
    assert got[0] == {"x": [1], "y": [3]}  # the object construction road


def test_a_change_to_the_field_itself_between_its_keys_is_seen_by_the_later_keys():
    field = Field(native.StrKey("k.*"), Int())
    schema = Schema([field], allow_nonconst_keys=True)
    seen = []

    def transform(path, f, value):
        field.set_validator(seen.append)  # read after the transform: from the first key on
        return value

    assert schema.apply({"k1": 1, "k2": 2}, child_transform=transform) == {"k1": 1, "k2": 2}
    assert seen == [1, 2]
    seen.clear()
    assert schema.apply({"k1": 1, "k2": 2}) == {"k1": 1, "k2": 2} and seen == [1, 2]


class WithCustomApply:
    __vesk_custom_typing__ = True

    def __init__(self, seen):
        self.seen = seen

    def custom_apply(self, path, spec, allow_partial=False, child_transform=None):
        self.seen.append(str(path))
        return False, 3


@pytest.mark.parametrize("make, wrap, where", [
    (lambda e: List(e), lambda ok, v: [ok, v], "x[1]"),
    (lambda e: List(List(e)), lambda ok, v: [[ok], [ok, v]], "x[1][1]"),
    (lambda e: Tuple(e), lambda ok, v: (ok, v), "x[1]"),
    (lambda e: native.Dict([(native.StrKey(), e)]), lambda ok, v: {"a": ok, "b": v}, "x.b"),
], ids=["list", "nested-list", "tuple", "open-dict"])
@pytest.mark.parametrize("element, ok, bad", [
    (lambda: Int(min_value=0), 1, -1),
    (lambda: Str(regex="a+"), "a", "b"),
], ids=["bounded-int", "patterned-str"])
def test_a_held_leaf_builds_the_path_only_for_a_refusal_or_a_value_that_reads_it(
        make, wrap, where, element, ok, bad):
    spec = make(element())
    with pytest.raises(ValueError, match=r"path=" + re.escape(where) + r"\)"):
        spec.apply(wrap(ok, bad), root_path=native.KeyPath("x"))
    seen = []
    spec.apply(wrap(ok, WithCustomApply(seen)), root_path=native.KeyPath("x"))
    assert seen == [where]
