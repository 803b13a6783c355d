"""List and Tuple accept a container of exact elements whole, and that shortcut never
changes a result: a plain list/tuple subclass forces the full road for comparison."""

import threading

import pytest
from hypothesis import given, settings, strategies as st

import vesk_core._native as native

Any, Bool, Float, Int, Str = native.Any, native.Bool, native.Float, native.Int, native.Str
List, Tuple = native.List, native.Tuple
BORROWED = "Already mutably borrowed"
# a mutation while an apply holds the spec
REFUSED = "Cannot mutate this object while another operation holds it"


class PlainList(list):
    pass


class PlainTuple(tuple):
    pass


def full_road(value):
    """The same data in a container the shortcut never accepts."""
    if type(value) is list:
        return PlainList(full_road(v) for v in value)
    if type(value) is tuple:
        return PlainTuple(full_road(v) for v in value)
    return value


def shape(value):
    """Every leaf's exact class and value; containers compared as sequences."""
    if isinstance(value, (list, tuple)):
        return ("seq", [shape(v) for v in value])
    return (type(value), value)


def outcome(spec, value, **kwargs):
    try:
        return "ok", shape(spec.apply(value, **kwargs))
    except Exception as e:  # noqa: BLE001 - the class and message are compared
        # the refused subclasses name themselves where a type is quoted
        text = str(e).replace(f"{__name__}.PlainList", "list")
        return "raised", type(e), text.replace(f"{__name__}.PlainTuple", "tuple")



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
    )


specs = st.recursive(leaf_specs, container_specs, max_leaves=4)

leaves = st.one_of(
    st.integers(-3, 3), st.booleans(), st.floats(allow_nan=False, width=32),
    st.sampled_from(["", "a", "ab", "b"]), st.none(), st.just(b"x"),
)
values = st.recursive(
    leaves,
    lambda kids: st.one_of(st.lists(kids, max_size=4), st.lists(kids, max_size=3).map(tuple)),
    max_leaves=10,
)


def identity_transform(path, field, v):
    return v


@settings(max_examples=500, deadline=None)
@given(make=specs, value=values, inplace=st.booleans(),
       transform=st.sampled_from([None, identity_transform]))
def test_the_shortcut_answers_like_the_full_road(make, value, inplace, transform):
    spec = make()
    kwargs = {"inplace": inplace, "child_transform": transform}
    assert outcome(spec, value, **kwargs) == outcome(spec, full_road(value), **kwargs)




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

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(8)]
    m = threading.Thread(target=mutator)
    m.start()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    stop.set()
    m.join()
    assert failures == [[]] * 9
    spec.set_transform(None)
    assert spec.apply(shared) is shared
