"""Value-spec utilities: type arguments, texts, transform error, class map, open str value spec."""

import re
import typing

import pytest

import vesk_core._native as native
from seams import seams
from vesk.typing import schema as stand_in


@pytest.mark.parametrize("arg", [(int, str), (), type("TupleSub", (tuple,), {})((int,)), int, [int, str]])
def test_type_args_keep_a_tuple_and_wrap_anything_else(arg):
    if isinstance(arg, tuple):
        assert seams.as_type_args(arg) is arg
    else:
        assert seams.as_type_args(arg) == (arg,)


class BadStr:
    def __str__(self):
        raise OSError("no text")

    def __repr__(self):
        raise OSError("no repr")


def test_path_texts():
    path = native.KeyPath.parse("a.b[1]")
    assert seams.root_path_str(None) == "" and seams.root_path_display(None) == "None"
    assert seams.root_path_str(path) == seams.root_path_display(path) == "a.b[1]"
    assert seams.message_on_path("Bad value.", "a.b[1]") == "Bad value. (path=a.b[1])"
    for fn in (seams.root_path_str, seams.root_path_display, seams.py_repr):
        with pytest.raises(OSError):
            fn(BadStr())
    assert seams.py_repr([1, "a"]) == "[1, 'a']"


class TwoArgs(Exception):
    def __init__(self, a, b):
        super().__init__(a, b)


class RefusesInit(Exception):
    def __init__(self, *args):
        if len(args) == 1 and "(path=" in str(args[0]):
            raise RuntimeError("cannot re-create")
        super().__init__(*args)


class NotAnException(Exception):
    def __new__(cls, *args):
        if args and "(path=" in str(args[0]):
            return "not an exception"
        return super().__new__(cls, *args)


def test_transform_error_is_re_created_with_the_path():
    caught = ValueError("bad input")
    made = seams.wrap_transform_error(caught, "x.y")
    assert type(made) is ValueError and str(made) == "bad input (path=x.y)"
    assert made.__cause__ is caught
    key_error = seams.wrap_transform_error(KeyError("k"), "z")
    assert type(key_error) is KeyError and key_error.args == ("'k' (path=z)",)


@pytest.mark.parametrize(
    "caught",
    [TwoArgs(1, 2), RefusesInit("boom"), NotAnException("odd"), ValueError(BadStr())],
)
def test_transform_error_that_cannot_be_re_created_is_the_original(caught):
    assert seams.wrap_transform_error(caught, "p") is caught


def test_regex_pattern_text():
    assert seams.regex_pattern_str(None) == (False, None)
    assert seams.regex_pattern_str(re.compile("a+b")) == (True, "a+b")
    with pytest.raises(TypeError, match="argument 'pattern'"):
        seams.regex_pattern_str(re.compile(b"a"))


def test_generic_getitem_result_follows_type_checking(monkeypatch):
    spec = type("Spec", (), {"annotation": int})()
    assert seams.generic_getitem_result(spec) is spec
    monkeypatch.setattr(typing, "TYPE_CHECKING", True)
    assert seams.generic_getitem_result(spec) is int
    monkeypatch.setattr(typing, "TYPE_CHECKING", BadTruth())
    with pytest.raises(ArithmeticError):
        seams.generic_getitem_result(spec)


class BadTruth:
    def __bool__(self):
        raise ArithmeticError("no truth")


class Candidate:
    def __init__(self, value_type, forward_refs=frozenset()):
        self._value_type = value_type
        self.forward_refs = forward_refs


def test_candidate_type_map_maps_each_class_to_its_candidate():
    a, b, c = Candidate(int), Candidate((str, bytes)), Candidate((float, float))
    assert seams.build_candidate_type_map([a, b, c], False) == (
        True, {int: a, str: b, bytes: b, float: c})
    found, mapping = seams.build_candidate_type_map([a, b, c], False)
    assert list(mapping) == [int, str, bytes, float]
    assert seams.build_candidate_type_map([], False) == (True, {})


@pytest.mark.parametrize(
    "candidates, flag",
    [([Candidate(int)], True), ([Candidate(int), Candidate(3)], False), ([Candidate((int, "str"))], False)],
)
def test_candidate_type_map_gives_nothing(candidates, flag):
    assert seams.build_candidate_type_map(candidates, flag) == (False, None)


def test_candidate_type_map_errors_propagate():
    with pytest.raises(ArithmeticError):
        seams.build_candidate_type_map([Candidate(int, forward_refs=BadTruth())], False)
    unhashable = HashRaisingMeta("Unhashable", (), {})
    with pytest.raises(ArithmeticError, match="no hash"):
        seams.build_candidate_type_map([Candidate(unhashable)], False)


class HashRaisingMeta(type):
    def __hash__(cls):
        raise ArithmeticError("no hash")


def test_candidate_type_map_of_a_list_changed_while_it_is_read():
    candidates = []

    class Shrinking:
        _value_type = int

        @property
        def forward_refs(self):
            candidates.clear()
            return frozenset()

    candidates.extend([Shrinking(), Candidate(str), Candidate(float)])
    # Only what the list still holds when each item is read is mapped.
    found, mapping = seams.build_candidate_type_map(candidates, False)
    assert found and mapping == {}


def _str_key(regex=None):
    cls = seams.bridge_slots()[26]
    return cls() if regex is None else cls(regex=regex)


def test_open_str_value_spec():
    spec = object()
    open_schema = stand_in.Schema([stand_in.Field(_str_key(), spec)])
    assert seams.compute_open_str_value_spec(open_schema) == (True, spec)
    assert seams.compute_open_str_value_spec(None) == (False, None)
    for schema in (
        stand_in.Schema([stand_in.Field(_str_key("a.*"), spec)]),
        stand_in.Schema([stand_in.Field("name", spec)]),
        stand_in.Schema([stand_in.Field(_str_key(), spec), stand_in.Field("x", spec)]),
        stand_in.Schema([]),
        type("LengthLies", (), {"fields": Fields(1, [])})(),
    ):
        assert seams.compute_open_str_value_spec(schema) == (False, None)


class Fields:
    def __init__(self, length, items):
        self.length, self._items = length, items

    def __len__(self):
        return self.length

    def items(self):
        return self._items


@pytest.mark.parametrize(
    "fields, error",
    [(Fields(1, [(1, 2, 3)]), ValueError), (Fields(1, 7), TypeError), (property(lambda self: 1 / 0), ZeroDivisionError)],
)
def test_open_str_value_spec_errors_propagate(fields, error):
    schema = type("S", (), {"fields": fields})()
    with pytest.raises(error):
        seams.compute_open_str_value_spec(schema)
