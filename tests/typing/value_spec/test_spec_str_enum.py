"""Str (regular expressions) and Enum (candidate lists)."""

import enum
import re

import pytest

import vesk_core._native as native

Str, Enum = native.Str, native.Enum
PATH = native.KeyPath.parse("x")


class Truthless:
    def __bool__(self):
        raise ZeroDivisionError


def test_regex_is_compiled_once_and_shared():
    for regex in (None, "", b""):  # no or a falsy regex means no pattern
        assert Str(regex=regex).regex is None and Str(regex=regex)._regex is None
    spec = Str(regex="a")
    assert isinstance(spec.regex, re.Pattern) and spec.regex.pattern == "a"
    assert spec._regex is spec.regex
    assert spec.apply("abc") == "abc"  # anchored at the start only
    with pytest.raises(ValueError) as err:
        spec.apply("ba", root_path=PATH)
    assert str(err.value) == "String 'ba' does not match regular expression 'a'. (path=x)"
    given = re.compile("b+")
    assert Str(regex=given).regex is given  # re.compile hands a pattern back as is


@pytest.mark.parametrize("regex, error", [("[", re.error), (3, TypeError), (Truthless(), ZeroDivisionError)])
def test_regex_errors_propagate(regex, error):
    with pytest.raises(error):
        Str(regex=regex)


def test_str_type_arguments():
    assert Str["a+"].regex.pattern == Str.with_type_args("a+").regex.pattern == "a+"
    for args, shown in [(("a", "b"), "('a', 'b')"), ((), "()")]:
        with pytest.raises(TypeError) as err:
            Str[args]
        assert str(err.value) == (
            "`vk.typing.Str` requires 1 argument as the regular expression for matching the "
            f"str value. Encountered: {shown}."
        )


Color = enum.Enum("Color", {"RED": "r", "BLUE": "b"}, type=str)
Level = enum.IntEnum("Level", {"LOW": 1, "HIGH": 2})


@pytest.mark.parametrize(
    "values, value_type",
    [([1, True], int), ([1, 1.5], None), (["a", None], str), ([Color.RED, Color.BLUE], str),
     ([Level.LOW, Level.HIGH], Level), ([Level.LOW, 3], int)],
)
def test_enum_value_type_is_derived_from_the_candidates(values, value_type):
    spec = Enum(values)
    assert spec._value_type is value_type
    assert spec.is_noneable is (None in values)


@pytest.mark.parametrize("values, shown", [([], "[]"), (("a", "b"), "('a', 'b')"), (None, "None")])
def test_enum_values_must_be_a_non_empty_list(values, shown):
    with pytest.raises(ValueError) as err:
        Enum(values)
    assert str(err.value) == f"Values for Enum should be a non-empty list. Found {shown}."


def test_enum_default_must_be_a_candidate():
    with pytest.raises(ValueError) as err:
        Enum(["a", "b"], default="c")
    assert str(err.value) == "Enum default value 'c' is not in candidate list ['a', 'b']."
    assert Enum([1, 2], default=True).default is True  # containment goes by equality
    assert Enum([1, 2]).apply(True) is True
    with pytest.raises(TypeError):
        Enum(["a"], is_noneable=True)  # noneability comes from the candidates


def test_enum_keeps_the_given_list_live():
    values = ["a", "b"]
    spec = Enum(values)
    assert spec.values is values and spec._values is values
    with pytest.raises(ValueError):
        spec.apply("c")
    values.append("c")
    assert spec.apply("c") == "c"
    assert "'c'" in repr(spec)  # the text follows the list, never a stale copy
    values.remove("a")
    with pytest.raises(ValueError) as err:
        spec.apply("a", root_path=PATH)
    assert str(err.value) == "Value 'a' is not in candidate list ['b', 'c']. (path=x)"


def test_enum_type_arguments():
    spec = Enum["a", "b"]
    assert spec.values == ["a", "b"] and type(spec.values) is list
    with pytest.raises(TypeError) as err:
        Enum["a"]
    assert str(err.value) == (
        "`vk.typing.Enum` requires at least 2 arguments as the candidate values for the enum "
        "Encountered: 'a'"
    )


class ShrinkingMeta(type):
    target = None

    def __subclasscheck__(cls, sub):
        if ShrinkingMeta.target is not None:
            ShrinkingMeta.target.clear()
        return False


def test_enum_walk_survives_a_list_changed_by_a_subclass_test():
    A = ShrinkingMeta("A", (), {})
    B = ShrinkingMeta("B", (), {})
    values = [A(), B(), A(), B()]
    ShrinkingMeta.target = values
    try:
        spec = Enum(values)
    finally:
        ShrinkingMeta.target = None
    assert spec.values is values and values == []
    assert spec._value_type is None
