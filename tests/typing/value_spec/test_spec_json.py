"""JSON form of value specs: the writer's keys and their order, the reader's
dispatch, keyword forwarding both ways, and refusal of malformed forms."""

import itertools
import threading

import pytest

import vesk_core._native as native
from leaks import assert_no_leak
from races import started
from spec_json_support import (Any, Bool, Callable, Dict, Enum, Float, Functor, Int, Klass,
                               List, Object, Str, Tuple, Type, Union, tf)
from vesk.typing import json as sj

INT, STR = {"_type": "vesk.typing.Int"}, {"_type": "vesk.typing.Str"}
INT_T = {"_type": "type", "name": "builtins.int"}
KLASS = {"_type": "type", "name": "spec_json_support.Klass"}
TF = {"_type": "function", "name": "spec_json_support.tf"}


def keys(**items):
    return list(items.items())


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: Bool(default=None, is_noneable=True), keys(default=None, is_noneable=True)),
        (lambda: Str(regex="a+", strict=True), keys(regex="a+", strict=True)),
        (lambda: Float(max_value=2.5, default=1.0, is_noneable=True, strict=False, frozen=True),
         keys(default=1.0, max_value=2.5, is_noneable=True, strict=False, frozen=True)),
        (lambda: Enum(["a", None], default="a", frozen=True, strict=False),
         keys(default="a", values=["a", None], frozen=True, strict=False)),
        (lambda: Any(), []),
        (lambda: Any(default=1, annotation=int, transform=tf, frozen=True, strict=True),
         keys(default=1, annotation=INT_T, transform=TF, frozen=True, strict=True)),
        (lambda: List(Int()), keys(element_value=INT, min_size=0)),
        (lambda: List(int, symbolic=False, auto_wrap=False, min_size=1, max_size=3, transform=tf,
                      is_noneable=True, strict=False),
         keys(element_value=INT, symbolic=False, auto_wrap=False, min_size=1, max_size=3,
              transform=TF, is_noneable=True, strict=False)),
        (lambda: Tuple([int, str], transform=tf), keys(element_values=[INT, STR], transform=TF)),
        (lambda: Tuple(int, size=2), keys(element_values=[INT, INT])),
        (lambda: Tuple(int, size=0), keys(element_values=[])),
        (lambda: Tuple(int, min_length=1, max_length=4), keys(element_values=INT, min_size=1,
                                                              max_size=4)),
        (lambda: Union([int, str], default=1), keys(default=1, candidates=[INT, STR])),
        (lambda: Object(Klass, transform=tf), keys(t=KLASS, transform=TF)),
        (lambda: Type(int), keys(t=INT_T)),
        (lambda: Dict(default={}, transform=tf, symbolic=True, auto_wrap=False, frozen=True,
                      strict=False),
         keys(default={}, transform=TF, symbolic=True, auto_wrap=False, frozen=True, strict=False)),
        (lambda: Callable(), []),
        (lambda: Callable([int], kw=[("x", str)], returns=int, transform=tf, callable_type=Klass),
         keys(args=[INT], kw=[["__tuple__", "x", STR]], returns=INT, transform=TF,
              callable_type=KLASS)),
        (lambda: Functor([int]), keys(args=[INT])),
        (lambda: type("Sub", (Callable,), {})([int]), keys(args=[INT])),
        # Only the kinds whose constructor takes a transform write one.
        (lambda: Enum(["a"]).set_transform(tf), keys(values=["a"])),
    ],
)
def test_keys_in_order(make, expected):
    spec = make()
    assert list(spec.to_json().items()) == [("_type", type(spec).__serialization_key__)] + expected


@pytest.mark.parametrize("noneable, frozen, strict",
                         list(itertools.product([False, True], [False, True], [None, False, True])))
def test_trailing_flag_writers(noneable, frozen, strict):
    def flags(spec):
        names = ("is_noneable", "frozen", "strict")
        return [(k, v) for k, v in spec.to_json().items() if k in names]

    n, f = [("is_noneable", True)] * noneable, [("frozen", True)] * frozen
    s = [("strict", strict)] * (strict is not None)
    assert flags(Int(is_noneable=noneable, frozen=frozen, strict=strict)) == n + s + f
    assert flags(Dict(is_noneable=noneable, frozen=frozen, strict=strict)) == n + f + s
    assert flags(Enum(["a"], default="a", frozen=frozen, strict=strict)) == f + s
    # The key follows the payload: a Callable twin of a Functor still says Functor.
    assert Functor(transform=tf).skip_user_transform.to_json()["_type"] == "vesk.typing.Functor"


class Recorder(native.Schema):
    def to_json(self, **kwargs):
        self.calls = getattr(self, "calls", []) + [kwargs]
        if getattr(self, "mutate", None):
            try:
                self.mutate()
            except RuntimeError as e:
                self.refused = str(e)
        return "recorded"


def test_dict_default_made_from_its_schema_is_not_written_and_keywords_reach_nested_values():
    schema = Recorder([native.Field("a", Int(default=1))])
    assert Dict(schema).default == {"a": 1} and list(Dict(schema).to_json()) == ["_type", "schema"]
    spec = List(Union([Dict(schema, default={"a": 2}), Int()]))
    assert spec.to_json(hide=True)["element_value"]["candidates"][0] == {
        "_type": "vesk.typing.Dict", "default": {"a": 2}, "schema": "recorded"}
    assert schema.calls[-1] == {"hide": True}


@pytest.mark.parametrize("mutate", [lambda s: s.set_default(None), lambda s: s.freeze()])
def test_spec_is_held_while_the_bridge_converts(mutate):
    schema = Recorder([native.Field("a", Int(default=1))])
    spec = Dict(schema, default={"a": 2}, is_noneable=True)
    schema.mutate = lambda: mutate(spec)
    spec.to_json()
    assert schema.refused.startswith("Cannot mutate this object while another operation holds")
    assert spec.default == {"a": 2} and not spec.frozen
    schema.mutate, schema.refused = lambda: spec.default, None  # reading is allowed
    assert spec.to_json()["schema"] == "recorded" and schema.refused is None


class Probe:
    """A nested value that records the keywords it is read with."""

    log = []

    @classmethod
    def from_json(cls, json_value, **kwargs):
        cls.log.append(kwargs)
        return sj.from_json(json_value["v"], **kwargs)


sj.register_serializable(Probe, "test.Probe")


@pytest.mark.parametrize("make", [
    lambda: Str(regex="a+", default="a"), lambda: Int(min_value=0, max_value=4),
    lambda: Enum(["a", "b"], default="b"), lambda: Any(annotation=int, transform=tf),
    lambda: List(int, min_size=1, max_size=2, symbolic=True, auto_wrap=False, transform=tf),
    lambda: Tuple(int, min_size=1, max_size=3), lambda: Union([int, str]),
    lambda: Object(Klass, transform=tf), lambda: Type(int), lambda: Dict(symbolic=False),
    lambda: Callable([int], kw=[("x", str)], returns=int, callable_type=Klass),
])
def test_every_nested_key_is_read_through_the_bridge_with_the_keywords(make):
    spec = make()
    form = spec.to_json()
    for key in set(form) - {"_type", "is_noneable", "frozen", "strict"}:
        Probe.log.clear()
        again = type(spec).from_json(dict(form, **{key: {"_type": "test.Probe", "v": form[key]}}),
                                     tag=key)
        assert type(again) is type(spec) and again.to_json() == form
        assert Probe.log == [{"tag": key}]


@pytest.mark.parametrize(
    "cls, form, text",
    [
        # The class chooses the kind; "_type" and other kinds' keys are ignored.
        (Bool, {"_type": "vesk.typing.Int", "min_value": 1, "default": True}, "Bool(default=True)"),
        (Enum, {"values": ["a"], "is_noneable": True}, "Enum(values=['a'])"),
        (List, {"element_value": INT_T, "size": 3, "max_length": 2}, "List(Int(), max_size=2)"),
        (Tuple, {"element_values": INT_T, "min_size": True, "max_size": 1}, "Tuple([Int()])"),
        (Functor, {"callable_type": 5, "args": [INT]}, "Functor(args=[Int()])"),
        (Union, {"candidates": [INT, STR], "strict": True}, "Union([Int(), Str()], strict=True)"),
    ],
)
def test_dispatch_reads_the_keys_of_the_class_it_is_called_on(cls, form, text):
    spec = cls.from_json(form)
    assert type(spec) is cls and repr(spec) == text


def test_dispatch_hands_the_constructor_what_it_read():
    assert Callable.from_json({"callable_type": KLASS}).value_type is Klass
    assert List.from_json({"element_value": INT}).symbolic is None
    spec = Dict.from_json({"schema": {"a": {"_type": "vesk.typing.Int", "default": 1}},
                           "default": None, "is_noneable": True, "auto_wrap": False})
    assert (spec.default, spec.is_noneable, spec.auto_wrap, spec.symbolic) == (None, True, False,
                                                                               None)


def arg(key, expected, got):
    return f"argument '{key}': expected {expected}, got {got}"


E = {"element_value": INT, "element_values": INT}


@pytest.mark.parametrize(
    "cls, form, error, message",
    [
        (List, {"min_size": 1}, ValueError, "List json missing 'element_value'."),
        (Tuple, {"min_size": 1}, ValueError, "Tuple json missing 'element_values'."),
        (Enum, {"default": "a"}, ValueError, "Enum json missing 'values'."),
        (Type, {}, ValueError, "Type json missing 't'."),
        (Object, {"transform": TF}, ValueError, "Object json missing 't'."),
        (Union, {"default": 1}, ValueError, "Union json missing 'candidates'."),
        (Int, [], TypeError, "'list' object cannot be converted to 'PyDict'"),
        (Int, {"is_noneable": 1}, TypeError, arg("is_noneable", "True or False", "int")),
        # Flags are read as stored, never through the bridge.
        (Int, {"strict": {"_type": "test.Probe", "v": True}}, TypeError,
         arg("strict", "True or False", "dict")),
        (List, dict(E, max_size=None), TypeError, arg("max_size", "int", "NoneType")),
        (Tuple, dict(E, max_length=2**63), OverflowError,
         "argument 'max_length': int does not fit a signed 64-bit integer"),
        (List, dict(E, symbolic=None), TypeError, arg("symbolic", "True or False", "NoneType")),
        (Dict, {"auto_wrap": 0}, TypeError, arg("auto_wrap", "True or False", "int")),
        (Tuple, {"element_values": [], "min_size": 0}, ValueError,
         '"size", "min_size" and "max_size" are not applicable for fixed-length Tuple'),
        (Object, {"t": KLASS, "transform": 5}, TypeError,
         "`transform` must be a single-arg callable. Encountered: 5."),
    ],
)
def test_malformed_form_is_refused_with_a_clear_error(cls, form, error, message):
    with pytest.raises(error) as e:
        cls.from_json(form)
    assert str(e.value).startswith(message)


def nested(depth):
    form = INT
    for _ in range(depth - 1):
        form = {"_type": "vesk.typing.List", "element_value": form}
    return form


def test_nesting_is_bounded_per_thread_and_deep_specs_fail_cleanly():
    with pytest.raises(ValueError, match="^Value-spec JSON is nested too deeply: more than 100"):
        sj.from_json(nested(101))
    results = []  # the count unwound with the error, and each thread has its own
    workers = [threading.Thread(target=lambda: results.append(sj.from_json(nested(100))))
               for _ in range(3)]
    with started(workers):
        pass
    assert [str(r).count("List") for r in results] == [99] * 3
    spec = Int()
    for _ in range(5000):
        spec = List(spec)
    looped = Any()
    looped.annotate([looped])
    for deep in (spec, looped):
        with pytest.raises(RecursionError):
            deep.to_json()


@pytest.mark.parametrize("default", [None, {"a": 2, "b": "x"}])
def test_dict_with_a_schema_round_trips(default):
    fields = {"a": Int(default=1), "b": Str(regex="x+")}
    spec = Dict(fields) if default is None else Dict(fields, default=default)
    form = spec.to_json(k=1)
    assert ("default" in form) is (default is not None)
    again = Dict.from_json(form, k=1)
    assert again.to_json(k=1) == form and str(again) == str(spec) and again.default == spec.default


def test_no_leak():
    def once():
        for spec in (List(int, max_size=2), Tuple([Int(), Str()]), Callable([int], returns=int)):
            type(spec).from_json(spec.to_json(k=1), k=1)
        for cls, form in ((List, {}), (Int, {"strict": 1}), (List, dict(E, max_size=None)),
                          (Object, {"t": KLASS, "transform": 5}), (Any, {"default": object()})):
            with pytest.raises((TypeError, ValueError)):
                cls.from_json(form).to_json()

    assert_no_leak(once)
