"""Int and Float: bounds and their aliases, type arguments, apply."""

import pytest

import vesk_core._native as native

Int, Float = native.Int, native.Float


@pytest.mark.parametrize("kind, kwargs, bounds", [
    (Int, {"gt": 0}, (1, None)), (Int, {"lt": 0}, (None, -1)), (Int, {"gt": 2**70}, (2**70 + 1, None)),
    (Int, {"gt": 2**70, "lt": -(2**70)}, None),  # crossed after the rewrite
    (Int, {"min_value": None, "gt": None, "le": None}, (None, None)),
    (Int, {"min_value": 1.5}, (1.5, None)), (Float, {"ge": 0.0, "le": 1}, (0.0, 1))])
def test_bounds_fold_into_inclusive_min_and_max(kind, kwargs, bounds):
    if bounds is None:
        with pytest.raises(ValueError, match="must be equal or greater"):
            kind(**kwargs)
        return
    spec = kind(**kwargs)
    assert (spec.min_value, spec.max_value) == bounds
    # Bounds are stored as given, never converted.
    for got, want in zip((spec.min_value, spec.max_value), bounds):
        assert type(got) is type(want)


DASH = "\u2014"


@pytest.mark.parametrize(
    "kind, kwargs, message",
    [
        (Int, {"min_value": 1, "ge": 2},
         "Int: `min_value` and its aliases (`ge`/`gt`) are mutually exclusive. Use one spelling."),
        (Int, {"ge": 1, "gt": 2}, "Int: `ge` and `gt` are mutually exclusive."),
        (Float, {"gt": 0.0},
         f"Float: `gt` (an EXCLUSIVE bound) is not representable on "
         f"Float {DASH} use `ge` (inclusive)."),
        (Int, {"gt": True},
         "Int: `gt` must be an int (the exclusive-bound rewrite is "
         "exact for ints only). Encountered: True."),
        # Both sides wrong: the lower side is decided first.
        (Int, {"min_value": 1, "gt": 2, "max_value": 3, "lt": 4},
         "Int: `min_value` and its aliases (`ge`/`gt`) are mutually exclusive. Use one spelling."),
        (Int, {"gt": 5, "lt": 6},
         '"max_value" must be equal or greater than "min_value". '
         'Encountered: min_value=6, max_value=5.'),
    ],
)
def test_alias_and_order_errors(kind, kwargs, message):
    with pytest.raises(ValueError) as err:
        kind(**kwargs)
    assert str(err.value) == message


class Boom:
    def __repr__(self):
        raise KeyError("repr")

    def __gt__(self, other):
        raise LookupError("compare")


def test_errors_of_user_bounds_and_options_propagate():
    with pytest.raises(TypeError, match="frozen"):  # options convert before alias folding
        Float(frozen=None, ge=1, gt=2)
    with pytest.raises(TypeError):
        Int(min_value="a", max_value=1)
    with pytest.raises(LookupError):
        Int(min_value=Boom(), max_value=1)
    with pytest.raises(KeyError):  # repr of a refused exclusive bound
        Int(gt=Boom())


@pytest.mark.parametrize("kind, args, bounds", [(Int, (0, 10), (0, 10)), (Float, (0.5, None), (0.5, None)),
                                                 (Int, (True, 2.5), (True, 2.5))])  # no folding, no type test
def test_type_arguments(kind, args, bounds):
    for spec in (kind[args], kind.with_type_args(args)):
        assert type(spec) is kind
        assert (spec.min_value, spec.max_value) == bounds
    with pytest.raises(ValueError, match="must be equal or greater"):
        kind[10, 0]


@pytest.mark.parametrize("kind, args, shown", [(Int, (1, 2, 3), "(1, 2, 3)"), (Float, ("a",), "('a',)")])
def test_type_argument_count(kind, args, shown):
    with pytest.raises(TypeError) as err:
        kind[args]
    assert str(err.value) == (
        f"`vk.typing.{kind.__name__}` requires 2 arguments as the min value and the max value "
        f"for the field. Encountered: {shown}"
    )


@pytest.mark.parametrize(
    "kind, kwargs, value, want",
    [(Int, {"min_value": 0, "max_value": 10}, 10, 10), (Float, {"max_value": 2}, True, 1.0),
     (Int, {"is_noneable": True}, None, None),
     (Int, {"min_value": 0}, -1, "Value -1 is out of range (min=0, max=None). (path=a.b)"),
     (Int, {"gt": 0, "lt": 10}, 10, "Value 10 is out of range (min=1, max=9). (path=a.b)")],
)
def test_apply(kind, kwargs, value, want):
    spec = kind(**kwargs)
    if isinstance(want, str):
        with pytest.raises(ValueError) as err:
            spec.apply(value, root_path=native.KeyPath.parse("a.b"))
        assert str(err.value) == want
        return
    out = spec.apply(value)
    assert out == want and type(out) is type(want)
