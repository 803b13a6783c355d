"""A native spec keeps the element rule derived from it; every change that feeds the rule,
to the spec or to a spec nested in it, must drop it, so an apply after the change answers
as the full road on the changed spec does."""

import gc
import threading
import weakref

import pytest

import vesk_core._native as native
from test_container_fast_paths import BORROWED, REFUSED, agree, outcome, without_shortcuts
from races import for_a_while, run_against_mutator

Any, Float, Int, Str, List = native.Any, native.Float, native.Int, native.Str, native.List


def plus_one(v):
    return v + 1


def to_str(v):
    return str(v)


# (element spec, change, data): the data is accepted whole before the change, and the
# change makes the full road answer otherwise (refuse, convert, or accept more).
CHANGES = [
    (Int, lambda e: e.noneable(), [1, None, 3]),
    (Int, lambda e: e.freeze(5), [1, 2]),
    (Int, lambda e: e.set_transform(plus_one), [1, 2]),
    (lambda: Int(min_value=0), lambda e: e.set_default(4), [1, 2]),
    (Float, lambda e: e.set_strict(True), [1.0, 2]),
    (Float, lambda e: e.set_transform(plus_one), [1.0, 2]),
    (Float, lambda e: e.freeze(0.5), [1.0, 2]),
    (Str, lambda e: e.noneable(), ["a", None]),
    (Any, lambda e: e.set_transform(to_str), [1, "a", None]),
    (Any, lambda e: e.freeze(7), [1, "a"]),
]

# How far down the changed spec sits: the list's element, a list in a list, three deep.
NESTINGS = [
    (lambda e: List(e), lambda d: d),
    (lambda e: List(List(e)), lambda d: [d, d[:1]]),
    (lambda e: List(List(List(e))), lambda d: [[d], []]),
]


@pytest.mark.parametrize("make, change, data", CHANGES)
@pytest.mark.parametrize("outer, wrap", NESTINGS)
@pytest.mark.parametrize("inplace", [True, False])
def test_a_change_to_a_nested_spec_drops_the_rule_cached_on_every_outer_spec(
        make, change, data, outer, wrap, inplace):
    element = make()
    spec = outer(element)
    value = wrap(data)
    # Cache the rules of the element and of every spec above it.
    for _ in range(2):
        outcome(spec, value, inplace=inplace)
        outcome(element, data[0])
    change(element)
    got = outcome(spec, value, inplace=inplace)
    assert agree(got, without_shortcuts(spec, value, inplace=inplace))
    # The changed element's own rule, asked directly, answers the same way.
    inner = List(element)
    assert agree(outcome(inner, data, inplace=inplace),
                 without_shortcuts(inner, data, inplace=inplace))


def test_a_rule_cached_before_a_change_is_not_used_by_a_spec_built_afterwards():
    element = Int()
    first = List(element)
    assert first.apply([1, 2]) == [1, 2]
    element.noneable()
    second = List(List(element))
    assert second.apply([[None]]) == [[None]]
    assert first.apply([None]) == [None]


def test_an_unrelated_change_leaves_every_answer_alone():
    spec = List(List(Float()))
    data = [[1, 2.0]]
    before = outcome(spec, data)
    Int().noneable()  # another spec changes; the cached rules derive again
    assert outcome(spec, data) == before


def each_leaf_of_one(out, old, new):
    """Whether `out` has the shape of both answers and each leaf is the one of either."""
    if isinstance(out, list):
        return (type(old) is list and len(out) == len(old) == len(new)
                and all(each_leaf_of_one(o, a, b) for o, a, b in zip(out, old, new)))
    if isinstance(out, dict):
        return (list(out) == list(old) == list(new)
                and all(each_leaf_of_one(out[k], old[k], new[k]) for k in out))
    return out == old or out == new


def test_eight_threads_applying_while_a_nested_spec_changes_see_the_old_or_the_new_answer():
    """The element of the element gains and loses a transform. Each element comes back as
    the old state or the new one gives it (each is applied under the element spec as it is
    then), or the apply fails with the borrow error when it meets the change; once the
    changes stop, the answer is the last state's, not that of a rule cached before it."""
    element = Int()
    spec = List(List(element))
    stop = threading.Event()
    failures = [[] for _ in range(9)]

    def mutator():
        k = 0
        while not stop.is_set():
            try:
                element.set_transform(plus_one if k % 2 else None)
            except RuntimeError as e:
                if not str(e).startswith(REFUSED):
                    failures[8].append(e)
            k += 1

    def worker(slot):
        data = [list(range(slot + i, slot + i + 100)) for i in range(100)]
        old = data
        new = [[v + 1 for v in inner] for inner in data]
        for _ in for_a_while(10, 30, 5):
            mine = [list(inner) for inner in data]
            try:
                out = spec.apply(mine, inplace=False)
            except RuntimeError as e:
                if str(e) != BORROWED:
                    failures[slot].append(e)
                continue
            if not each_leaf_of_one(out, old, new):
                failures[slot].append(("an element of neither state", slot))
            if mine != data:
                failures[slot].append(("input changed", slot))

    run_against_mutator(worker, mutator, stop)
    assert failures == [[] for _ in range(9)]
    want = [[2, 3], [4]] if element.transform is not None else [[1, 2], [3]]
    for _ in range(2):
        assert spec.apply([[1, 2], [3]], inplace=False) == want


def test_cached_rules_and_the_ones_changes_replace_are_released():
    from leaks import assert_no_leak

    def once():
        element = Float()
        spec = List(List(element))
        data = [[1.0, 2], [3.0]]
        spec.apply(data, inplace=False)  # caches the rules of all three specs
        element.noneable()
        spec.apply(data, inplace=False)  # derives them again, replacing the old ones
        element.set_strict(True)
        with pytest.raises(TypeError):
            spec.apply(data, inplace=False)

    assert_no_leak(once)


def test_a_spec_copied_after_its_rule_was_cached_derives_its_own():
    import copy

    element = Int()
    spec = List(element)
    assert spec.apply([1, 2]) == [1, 2]
    twin = copy.deepcopy(spec)
    element.noneable()
    assert spec.apply([None]) == [None]
    with pytest.raises(ValueError, match="cannot be None"):
        twin.apply([None])


def dict_case(score, tags_element, data):
    def make():
        specs = {"score": score(), "tag": tags_element()}
        schema = native.Schema([native.Field("id", Int()), native.Field("score", specs["score"]),
                                native.Field("tags", List(specs["tag"]))])
        return native.Dict(schema), specs, schema
    return make, data


# A change of a field's spec or validator in place reaches the schema's
# cached constant-key check and the field's compiled record when the package
# calls `_recompute_caches`, as it does after such changes; the rules cached
# on the enclosing specs must then follow it.
def recomputed(change):
    def both(specs, schema):
        change(specs, schema)
        schema._recompute_caches()
    return both


RECORD = {"id": 1, "score": 2.5, "tags": ["a"]}
DICT_CHANGES = [
    # a constant field's spec, the element spec of a list field, the schema itself
    (lambda specs, schema: specs["score"].noneable(), [dict(RECORD, score=None)]),
    (recomputed(lambda specs, schema: specs["score"].set_transform(plus_one)), [RECORD]),
    (recomputed(lambda specs, schema: specs["score"].set_strict(True)), [dict(RECORD, score=2)]),
    (lambda specs, schema: specs["tag"].noneable(), [dict(RECORD, tags=["a", None])]),
    (lambda specs, schema: specs["tag"].set_transform(str.upper), [RECORD]),
    (recomputed(lambda specs, schema: schema.fields["score"].set_validator(lambda v: 1 / 0)),
     [RECORD]),
    (lambda specs, schema: schema._recompute_caches(), [RECORD]),
]


@pytest.mark.parametrize("change, data", DICT_CHANGES)
@pytest.mark.parametrize("nested", [False, True])
def test_a_change_under_a_dict_element_drops_the_rule_cached_on_the_list(change, data, nested):
    make, _ = dict_case(Float, Str, None)
    element, specs, schema = make()
    spec = List(List(element)) if nested else List(element)
    value = [data] if nested else data
    warm = [[RECORD]] if nested else [RECORD]
    for _ in range(2):
        outcome(spec, warm, inplace=False)
        outcome(spec, value, inplace=False)
    change(specs, schema)
    for inplace in (False, True):
        got = outcome(spec, value, inplace=inplace)
        assert agree(got, without_shortcuts(spec, value, inplace=inplace))


def test_a_rule_derived_again_after_a_change_frees_the_one_it_replaces():
    from leaks import assert_no_leak

    spec = List(native.Dict([("a", Int()), ("b", List(Str()))]))
    data = [{"a": 1, "b": ["x"]}]

    def once():
        Int().noneable()  # any change: the next apply derives and stores the rule again
        assert spec.apply(data) is data

    assert_no_leak(once)


def test_eight_threads_applying_dicts_while_a_list_fields_element_changes():
    """A List(Dict) whose list field's element spec gains and loses a transform: each tag
    comes back as it was or transformed (each is applied under the tag spec as it is then),
    or the apply is refused while the change holds the spec; once the changes stop, the
    last state answers."""
    tag = Str()
    schema = native.Schema([native.Field("id", Int()), native.Field("tags", List(tag))])
    spec = List(native.Dict(schema))
    stop = threading.Event()
    failures = [[] for _ in range(9)]

    def mutator():
        k = 0
        while not stop.is_set():
            try:
                tag.set_transform(str.upper if k % 2 else None)
            except RuntimeError as e:
                if not str(e).startswith(REFUSED):
                    failures[8].append(e)
            k += 1

    def worker(slot):
        for _ in range(40):
            data = [{"id": i, "tags": ["a", "b"]} for i in range(slot, slot + 500)]
            old = [{"id": r["id"], "tags": ["a", "b"]} for r in data]
            new = [{"id": r["id"], "tags": ["A", "B"]} for r in data]
            try:
                out = spec.apply(data, inplace=False)
            except RuntimeError as e:
                if str(e) != BORROWED:
                    failures[slot].append(e)
                continue
            # one state of the tag spec for each tag
            if not each_leaf_of_one(out, old, new):
                failures[slot].append(("wrong answer", out))
            if any(r["tags"] != ["a", "b"] for r in data):
                failures[slot].append(("input changed", data))

    run_against_mutator(worker, mutator, stop)
    assert failures == [[] for _ in range(9)]
    want = ["A", "B"] if tag.transform is not None else ["a", "b"]
    for _ in range(2):
        assert spec.apply([{"id": 0, "tags": ["a", "b"]}], inplace=False)[0]["tags"] == want


def _held_by_rule(make, sample):
    """A class reached only through a rule copy, after its spec became cyclic garbage."""
    seams = pytest.importorskip("vesk_core._typing_seams")

    class Held:
        pass

    spec = make(Held)
    outcome(spec, sample(Held()))  # caches the rule the copy below shares
    held = seams.hold_rule(native.__file__, spec)
    garbage = [spec]
    garbage.append(garbage)
    alive = weakref.ref(Held)
    del Held, spec, garbage
    return held, alive


@pytest.mark.parametrize("make, sample", [
    (lambda cls: List(List(native.Object(cls))), lambda v: [[v]]),
    (lambda cls: native.Dict([("a", List(native.Object(cls)))]), lambda v: {"a": [v]}),
], ids=["nested-list", "dict-check"])
def test_a_readers_copy_of_a_cached_rule_keeps_what_it_holds_through_a_collection(make, sample):
    # The copy shares the cached rule's nested parts; the collector must not count
    # them as the garbage spec's own and clear the class while the copy uses it.
    held, alive = _held_by_rule(make, sample)
    gc.collect()
    assert alive() is not None and alive().__name__ == "Held"
    del held
    gc.collect()
    assert alive() is None
