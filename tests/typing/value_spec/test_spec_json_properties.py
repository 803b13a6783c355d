"""Property tests of the value-spec JSON form: every generated spec survives
a round trip, and forms mutated from valid ones are read or refused cleanly."""

import json
import re

from hypothesis import given, settings, strategies as st

import vesk_core._native as native
from spec_json_support import (Any, Bool, Callable, Dict, Enum, Float, Functor, Int, Klass,
                               List, Object, Str, Tuple, Type, Union, tf)
from vesk.typing import json as sj


class Made:
    """A generated spec: built anew on each call, children first."""

    def __init__(self, cls, args, fix):
        self.cls, self.args, self.fix = cls, args, fix

    def __call__(self):
        args = {k: realize(v) for k, v in self.args.items()}
        if args.get("default", 0) is None and not args.get("is_noneable"):
            del args["default"]
        return self.cls(**self.fix(args))


def realize(value):
    if isinstance(value, Made):
        return value()
    if isinstance(value, (list, tuple)):
        return type(value)(realize(v) for v in value)
    return value


COMMON = {"is_noneable": st.booleans(), "frozen": st.booleans(),
          "strict": st.sampled_from([None, False, True])}


def spec(cls, required=None, fix=lambda a: a, common=tuple(COMMON), **optional):
    """A spec of `cls` whose optional arguments are each drawn or left out."""
    optional = {**{k: COMMON[k] for k in common}, **optional}
    return st.fixed_dictionaries(required or {}, optional=optional).map(
        lambda args: Made(cls, args, fix))


def in_order(args):
    """Bounds in order, and a default only where it surely fits."""
    for lo, hi in (("min_value", "max_value"), ("min_size", "max_size")):
        if lo in args and hi in args and args[lo] > args[hi]:
            args[lo], args[hi] = args[hi], args[lo]
    bound = args.get("min_value", args.get("max_value"))
    if bound is not None and args.get("default") is not None:
        args["default"] = bound
    if args.get("min_size"):
        args.pop("default", None)
    return args


def distinct(args):
    """Candidates of distinct class and value type, topped up to two."""
    made, seen = [], set()
    for s in args["candidates"] + [Bool(), Str()]:
        if (type(s), s._value_type) not in seen:
            seen.add((type(s), s._value_type))
            made.append(s)
    return dict(args, candidates=made[:max(2, len(args["candidates"]))])


ints, transform = st.integers(-3, 3), st.just(tf)
leaves = st.one_of(
    spec(Bool, default=st.sampled_from([True, None])),
    spec(Int, fix=in_order, min_value=ints, max_value=ints, default=st.sampled_from([0, None])),
    spec(Float, fix=in_order, min_value=ints.map(float), max_value=ints.map(float),
         default=st.just(0.5)),
    spec(Str, regex=st.sampled_from(["a+", "[a-z]*", ""]), default=st.sampled_from(["a", None])),
    spec(Enum, {"values": st.lists(st.sampled_from(["a", 1, None]), min_size=1, unique=True)},
         fix=lambda a: dict(a, default=a["values"][0]) if "default" in a else a,
         common=("frozen", "strict"), default=st.just(0)),
    spec(Any, common=("frozen", "strict"), annotation=st.sampled_from([int, None]),
         transform=transform, default=st.sampled_from([1, "x", [1], None])),
    spec(Object, {"t": st.just(Klass)}, transform=transform),
    spec(Type, {"t": st.just(int)}, default=st.just(bool)),
    spec(Dict, symbolic=st.booleans(), auto_wrap=st.booleans(), transform=transform,
         default=st.just({})),
)


def containers(children):
    sizes = {"min_size": st.integers(0, 2), "max_size": st.integers(0, 3)}
    callable_parts = {"args": st.lists(children, max_size=2), "returns": children,
                      "kw": st.lists(st.tuples(st.sampled_from("xy"), children), max_size=2,
                                     unique_by=lambda p: p[0]), "transform": transform}
    return st.one_of(
        spec(List, {"element_value": children}, fix=in_order, symbolic=st.booleans(),
             auto_wrap=st.booleans(), transform=transform, default=st.just([]), **sizes),
        spec(Tuple, {"element_values": st.lists(children, min_size=1, max_size=3)},
             transform=transform),
        spec(Tuple, {"element_values": children}, fix=in_order, transform=transform, **sizes),
        spec(Union, {"candidates": st.lists(children, min_size=1, max_size=3)}, fix=distinct,
             common=("is_noneable", "strict")),
        spec(Callable, callable_type=st.just(Klass), **callable_parts),
        spec(Functor, **callable_parts),
    )


specs = st.one_of(leaves, containers(leaves), st.recursive(leaves, containers, max_leaves=5))


def spec_forms(value, path=()):
    """Paths to every spec form nested in a JSON value."""
    if isinstance(value, dict):
        if str(value.get("_type", "")).startswith("vesk.typing."):
            yield path
        for k, v in value.items():
            yield from spec_forms(v, path + (k,))
    elif isinstance(value, list):
        for i, v in enumerate(value):
            yield from spec_forms(v, path + (i,))


def at(value, path):
    for step in path:
        value = value[step]
    return value


def comparable(form):
    """Whether `==` can tell a rebuilt spec from the original: not when the
    tree holds a List or Tuple (their equality compares element fields), nor
    a default the package compares by identity (a rebuilt list or dict)."""
    for node in (at(form, p) for p in spec_forms(form)):
        default = node.get("default")
        if node["_type"] in ("vesk.typing.List", "vesk.typing.Tuple") or isinstance(
                default, list) or (isinstance(default, dict) and "_type" not in default):
            return False
    return True


@settings(max_examples=300)
@given(make=specs)
def test_round_trip(make):
    spec_ = make()
    form = spec_.to_json()
    for again in (sj.from_json(form), sj.from_json(json.loads(json.dumps(form)))):
        assert type(again) is type(spec_)
        assert again.to_json() == form
        assert str(again) == str(spec_)
    if comparable(form):
        assert sj.from_json(form) == spec_


KINDS = ["Bool", "Str", "Int", "Float", "Enum", "Any", "List", "Tuple", "Dict", "Type", "Object",
         "Callable", "Functor", "Union", "Nope"]
READ_KEYS = ["default", "is_noneable", "frozen", "strict", "regex", "min_value", "max_value", "gt",
             "lt", "values", "annotation", "transform", "element_value", "element_values",
             "min_size", "max_size", "max_length", "symbolic", "auto_wrap", "schema", "t", "args",
             "kw", "returns", "callable_type", "candidates"]
JUNK = [None, 0, -1, 2**64, 1.5, True, "x", "", [], {}, ["__tuple__", 1], [None, 1],
        {"_type": "vesk.typing.Int"}, {"_type": "vesk.typing.List"},
        {"_type": "vesk.typing.Int", "min_value": 3, "max_value": 1}]
# A refused form raises the dispatch's or a constructor's own error, or the
# regular-expression module's for a bad "regex".
REFUSALS = (TypeError, ValueError, OverflowError, re.error)


@settings(max_examples=400)
@given(make=specs, data=st.data())
def test_mutated_forms_are_read_or_refused_cleanly(make, data):
    form = make().to_json()
    for _ in range(data.draw(st.integers(1, 3))):
        target = at(form, data.draw(st.sampled_from(list(spec_forms(form)))))
        own = sorted(set(target) - {"_type"})
        op = data.draw(st.sampled_from(["drop", "junk", "retype"]))
        if op == "drop" and own:
            del target[data.draw(st.sampled_from(own))]
        elif op == "retype":
            target["_type"] = "vesk.typing." + data.draw(st.sampled_from(KINDS))
        else:
            junk = json.loads(json.dumps(data.draw(st.sampled_from(JUNK))))  # a fresh copy
            target[data.draw(st.sampled_from(READ_KEYS + own))] = junk
    try:
        rebuilt = sj.from_json(form)
    except REFUSALS:
        return
    assert isinstance(rebuilt, native.SpecBase)  # a whole spec
    str(rebuilt)
