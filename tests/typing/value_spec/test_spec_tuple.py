"""Tuple: fixed and variable forms, construction errors, type arguments, apply, JSON."""

import pytest

import vesk_core._native as native
from vesk_core import KeyPath

Float, Int, List, Str, Tuple = native.Float, native.Int, native.List, native.Str, native.Tuple
TupleKey = native.TupleKey


def keys(spec):
    return [f.key.index for f in spec.elements]




@pytest.mark.parametrize(
    "make, fixed, length, bounds, indices",
    [
        (lambda: Tuple([int, str]), True, 2, (2, 2), [0, 1]),
        (lambda: Tuple(int), False, 0, (0, None), [None]),
        (lambda: Tuple(int, min_size=1, max_size=4), False, 0, (1, 4), [None]),
        (lambda: Tuple(int, min_size=3, max_size=3), True, 3, (3, 3), [0, 1, 2]),
        (lambda: Tuple(int, size=0), True, 0, (0, 0), []),
        (lambda: Tuple.from_json({"element_values": []}), True, 0, (0, 0), []),
        (lambda: Tuple[int, ...], False, 0, (0, None), [None]),
        (lambda: Tuple[int], True, 1, (1, 1), [0]),
        (lambda: Tuple[int, str, ...], True, 3, (3, 3), [0, 1, 2]),
    ],
)
def test_forms(make, fixed, length, bounds, indices):
    spec = make()
    assert spec.fixed_length is fixed and len(spec) == length
    assert (spec.min_size, spec.max_size) == bounds
    assert keys(spec) == indices
    assert spec.elements is spec.elements


def test_field_descriptions_and_shared_element_of_equal_bounds():
    fixed = Tuple([int, str])
    assert [f.description for f in fixed.elements] == [
        "Field of tuple element at 0", "Field of tuple element at 1"
    ]
    assert Tuple(int).elements[0].description == "Field of variable-length tuple element"
    shared = Tuple(Int(), size=3)
    assert len({id(f.value) for f in shared.elements}) == 1


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: Tuple([int], size=1),
         '"size", "min_size" and "max_size" are not applicable for fixed-length Tuple '
         "with elements: [<class 'int'>]"),
        (lambda: Tuple(int, max_size=2, min_size=3),
         '"max_size" of List must be no less than "min_size". Encountered: min_size=3, max_size=2'),
        (lambda: Tuple(int, min_size=1, min_length=1),
         "Tuple: `min_size` and `min_length` are mutually exclusive. Use one spelling."),
        (lambda: Tuple(int, size=-2), '"min_size" of List must be no less than 0. Encountered: -2.'),
        (lambda: Tuple([]), "Argument 'element_values' must be a non-empty list."),
        (lambda: Tuple(()), "Argument 'element_values' must be a non-empty list."),
        (lambda: Tuple[()], "Argument 'element_values' must be a non-empty list."),
        (lambda: Tuple([], size=0), "Argument 'element_values' must be a non-empty list."),
    ],
)
def test_construction_errors(make, message):
    with pytest.raises(ValueError) as e:
        make()
    assert str(e.value) == message


@pytest.mark.parametrize("n", [10**6 + 1, 10**12])
def test_equal_bounds_beyond_the_position_limit_are_refused(n):
    with pytest.raises(ValueError, match="at most 1000000"):
        Tuple(int, min_size=n, max_size=n)
    with pytest.raises(ValueError, match="at most 1000000"):
        Tuple(int, size=n)


def test_empty_fixed_form_is_given_back_through_its_json_form():
    empty = Tuple(int, size=0)
    assert empty.to_json() == {"_type": "vesk.typing.Tuple", "element_values": []}
    again = Tuple.from_json(empty.to_json())
    assert repr(again) == repr(empty) == "Tuple([])"
    assert again.apply(()) == ()
    with pytest.raises(ValueError, match=r"Length of input tuple \(1\) does not match"):
        again.apply((1,))


def test_text_forms():
    assert repr(Tuple([int, str])) == "Tuple([Int(), Str()])"
    assert repr(Tuple(int, min_size=1)) == "Tuple(Int(), min_size=1)"
    assert repr(Tuple(int, size=2)) == "Tuple([Int(), Int()])"
    assert repr(Tuple(int, min_length=1, max_length=4)) == "Tuple(Int(), min_size=1, max_size=4)"




def test_a_new_tuple_is_built_even_when_nothing_changes():
    data = (1, "a")
    out = Tuple([Int(), Str(regex="[a-z]")]).apply(data)  # exact leaves alone are kept whole
    assert out == data and out is not data
    assert Tuple([Float(), Str()]).apply((1, "a")) == (1.0, "a")


@pytest.mark.parametrize(
    "make, value, message",
    [
        (lambda: Tuple([Int(), Str()]), (1, "a", 3),
         "Length of input tuple (3) does not match the length of spec (2). "
         "Input: (1, 'a', 3), Spec: Tuple([Int(), Str()]) (path=a.b)"),
        (lambda: Tuple(Int(), min_size=2), (1,),
         "Length of tuple (1,) is less than min size (2). (path=a.b)"),
        (lambda: Tuple(Int(), max_size=1), (1, 2),
         "Length of tuple (1, 2) is greater than max size (1). (path=a.b)"),
        (lambda: Tuple(Int(max_value=0)), (0, 0, 3),
         "Value 3 is out of range (min=None, max=0). (path=a.b[2])"),
        (lambda: Tuple([Int(), List(Tuple([Str()]))]), (1, [("x",), (3,)]),
         "Expect <class 'str'> but encountered <class 'int'>: 3. (path=a.b[1][1][0])"),
    ],
)
def test_apply_messages_name_the_element_path(make, value, message):
    with pytest.raises((ValueError, TypeError)) as e:
        make().apply(value, root_path=KeyPath.parse("a.b"))
    assert str(e.value) == message


def test_child_transform_runs_per_element_through_the_field():
    seen = []

    def transform(path, field, value):
        seen.append((str(path), field.key.index))
        return value

    Tuple([Int(min_value=0), Int(max_value=5)]).apply((1, 2), child_transform=transform)
    assert seen == [("[0]", 0), ("[1]", 1)]


class Pair(tuple):
    pass


@pytest.mark.parametrize("make", [lambda: Tuple(Int()), lambda: Tuple([Int(), Int()])],
                         ids=["variable", "fixed"])
def test_a_tuple_of_exact_leaves_runs_the_child_transform_on_every_element(make):
    def times_ten(path, field, v):
        return v * 10

    def marked(path, field, v):
        return v

    marked._vesk_scalar_identity = True
    spec, plain = make(), (1, 2)
    # a plain tuple answers as a subclass does: the transform the caller asked for runs
    assert spec.apply(plain, child_transform=times_ten) == (10, 20)
    assert spec.apply(Pair(plain), child_transform=times_ten) == (10, 20)
    # a transform that says it leaves scalars unchanged keeps the tuple whole
    assert spec.apply(plain, child_transform=marked) is plain


def test_elements_shortened_after_construction_fail_cleanly():
    spec = Tuple(Int())
    spec.elements.clear()
    with pytest.raises(IndexError):
        spec.apply((1,))



INT_JSON = {"_type": "type", "name": "builtins.int"}
STR_JSON = {"_type": "type", "name": "builtins.str"}


@pytest.mark.parametrize(
    "json_value, text",
    [
        ({"element_values": []}, "Tuple([])"),
        ({"element_values": [INT_JSON, STR_JSON]}, "Tuple([Int(), Str()])"),
        ({"element_values": INT_JSON, "min_size": 1, "max_size": 3},
         "Tuple(Int(), min_size=1, max_size=3)"),
        ({"element_values": INT_JSON, "min_length": 2, "max_length": 2},
         "Tuple([Int(), Int()])"),
    ],
)
def test_from_json_rebuilds_both_forms_and_the_empty_fixed_one(json_value, text):
    spec = Tuple.from_json(json_value)
    assert type(spec) is Tuple and repr(spec) == text


@pytest.mark.parametrize(
    "json_value, message",
    [
        ({}, "Tuple json missing 'element_values'."),
        ({"element_values": INT_JSON, "min_size": 10**12, "max_size": 10**12},
         "at most 1000000"),
        ({"element_values": [INT_JSON], "max_size": 1}, "not applicable for fixed-length"),
    ],
)
def test_from_json_refuses_what_the_constructor_refuses(json_value, message):
    with pytest.raises(ValueError, match=message):
        Tuple.from_json(json_value)
