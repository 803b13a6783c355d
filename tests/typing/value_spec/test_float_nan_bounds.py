"""A float NaN lies within no range: a Float spec with at least one bound refuses
it with its out-of-range message on every road that checks a range, while an
unbounded Float takes it."""

import math
import re
from fractions import Fraction

import pytest

import vesk_core._native as native
from vesk.symbolic.object_classes import object_class

Dict, Field, Float, List, Schema = native.Dict, native.Field, native.Float, native.List, native.Schema
NAN = float("nan")


class Real(float):
    pass


BOUNDED = [
    (lambda: Float(min_value=0.0), "min=0.0, max=None"),
    (lambda: Float(max_value=1.0), "min=None, max=1.0"),
    (lambda: Float(min_value=0.0, max_value=1.0), "min=0.0, max=1.0"),
    (lambda: Float(min_value=0), "min=0, max=None"),  # an int bound
    (lambda: Float(max_value=Fraction(1, 2)), "min=None, max=1/2"),  # compared by Python
    (lambda: Float(min_value=0.0).noneable(), "min=0.0, max=None"),
]


def refused(message, path=""):
    return pytest.raises(ValueError, match=re.escape(f"Value nan is out of range ({message}). "
                                                     f"(path={path})"))


@pytest.mark.parametrize("make, bounds", BOUNDED)
@pytest.mark.parametrize("nan", [NAN, -NAN, Real("nan")], ids=["nan", "-nan", "subclass"])
def test_a_bounded_float_refuses_nan_on_its_own_roads(make, bounds, nan):
    spec = make()
    with refused(bounds):
        spec.apply(nan)
    with refused(bounds, "x"):
        spec._validate(native.KeyPath("x"), nan)
    with refused(bounds, "[1]"):  # an element rule or the element's apply
        List(spec).apply([0.5, nan], inplace=False)
    with refused(bounds, "[0].a"):  # a dict's constant-key check
        List(Dict([("a", spec)])).apply([{"a": nan}])
    with refused(bounds, "a"):
        Dict([(native.StrKey(), spec)]).apply({"a": nan})  # the open road
    assert math.isnan(Float().apply(nan))


@pytest.mark.parametrize("make, bounds", BOUNDED)
def test_fields_and_schemas_refuse_nan(make, bounds):
    field = Field("a", make())
    with refused(bounds, "a"):
        field.apply(NAN, root_path=native.KeyPath("a"))
    schema = Schema([field, Field("b", native.Int(default=0))])
    with refused(bounds, "a"):
        schema.apply({"a": NAN})
    with refused(bounds, "a"):
        schema._funnel_validate_field("a", NAN)
    with refused(bounds, "r.a"):
        schema.apply({"a": NAN, "b": 1}, root_path=native.KeyPath("r"))
    assert math.isnan(Schema([Field("a", Float())]).apply({"a": NAN})["a"])


def ranged(slots):
    return object_class("Ranged", [("x", Float(min_value=0.0, max_value=1.0)),
                                   ("y", Float(default=0.0))], slots=slots)


@pytest.mark.parametrize("slots", [False, True], ids=["object", "record"])
def test_objects_and_records_refuse_nan_at_construction(slots):
    cls = ranged(slots)
    with pytest.raises(ValueError, match="Value nan is out of range"):
        cls(x=NAN)
    with pytest.raises(ValueError, match="Value nan is out of range"):
        cls(x=NAN, y=1.0)
    assert math.isnan(cls(x=0.5, y=NAN).y)  # unbounded: taken


def test_an_object_write_refuses_nan():
    obj = ranged(False)(x=0.5)
    with pytest.raises(ValueError, match="Value nan is out of range"):
        obj.x = NAN
    assert obj.x == 0.5
    obj.y = NAN
    assert math.isnan(obj.y)
