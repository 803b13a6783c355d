import pytest

import vesk_core._native as native
from leaks import assert_no_leak

kv = native.kvlist_str


class Probe:
    __vesk_formattable__ = True

    def __init__(self, text="P"):
        self.text = text
        self.calls = []

    def format(self, **kwargs):
        self.calls.append(kwargs)
        return self.text


ITEMS = [("x", 1, None), ("y", 2, 2)]
TWO = [("x", 1, None), ("y", 3, 2)]


@pytest.mark.parametrize(
    "items, kwargs, expected",
    [
        (ITEMS, {"label": "A"}, "A(x=1)"),
        (TWO, {}, "x=1, y=3"),
        (TWO, {"label": "A", "compact": False}, "A(\n  x=1,\n  y=3\n)"),
        (TWO, {"label": "A", "compact": False, "root_indent": 1}, "A(\n    x=1,\n    y=3\n  )"),
        (TWO, {"label": "", "compact": False, "root_indent": 1}, "(\n  x=1,\n  y=3\n  )"),
        (TWO, {"label": None, "compact": False}, "x=1,\ny=3"),
        (TWO, {"compact": None}, "x=1,\ny=3"),
        ([("y", 2, 2)], {"label": "A"}, "A()"),
        ([("y", 2, 2)], {"label": "A", "compact": False}, "A()"),
        ([], {}, ""),
        ([(None, 1, None), ("", "s", None), (0, 2, None)], {}, "1, 's', 2"),
        ([("k", [1, 2], None)], {"label": "L", "bracket_type": 1}, "L[k=[1, 2]]"),
        # Items may be any indexable sequence; extra elements are ignored.
        ([["k", 1, None, "ignored"]], {}, "k=1"),
    ],
)
def test_layout(items, kwargs, expected):
    assert kv(items, **kwargs) == expected


@pytest.mark.parametrize(
    "bracket_type, expected",
    [(0, "L(k=1)"), (1, "L[k=1]"), (2, "L{k=1}"), (1.7, "L[k=1]"), (-1, "L{k=1}"), (-3, "L(k=1)"),
     (True, "L[k=1]"), ("2", "L{k=1}")],
)
def test_bracket_types(bracket_type, expected):
    assert kv([("k", 1, None)], label="L", bracket_type=bracket_type) == expected


@pytest.mark.parametrize("bracket_type", [3, -4, 2**80])
def test_bracket_type_out_of_range(bracket_type):
    with pytest.raises(IndexError, match="list index out of range"):
        kv([("k", 1, None)], label="L", bracket_type=bracket_type)
    # Without a label the bracket type is never looked at.
    assert kv([("k", 1, None)], bracket_type=bracket_type) == "k=1"
    assert kv([("k", 1, None)], bracket_type=object()) == "k=1"


class Eq:
    """Records which side of == it was on, and answers `equal`."""

    log = []

    def __init__(self, name, equal):
        self.name, self.equal = name, equal

    def __eq__(self, other):
        Eq.log.append((self.name, other if not isinstance(other, Eq) else other.name))
        return self.equal

    __hash__ = object.__hash__


@pytest.mark.parametrize(
    "value, omit, shown",
    [
        (0, (None, 0), False),
        (None, (None, 0), False),
        (1, (None, 0), True),
        ([], [], False),
        ([1], [], True),
        (0, None, True),
        (False, 0, False),
    ],
)
def test_omit_when(value, omit, shown):
    assert (kv([("k", value, omit)]) != "") is shown


def test_omit_when_operand_order():
    Eq.log = []
    v = Eq("value", False)
    kv([("k", v, Eq("omit", False))])
    # value on the left for a single omit-when ...
    assert Eq.log[0] == ("value", "omit")
    Eq.log = []
    kv([("k", v, (Eq("first", False), Eq("second", True)))])
    # ... each tuple element on the left otherwise, stopping at the first match.
    assert Eq.log == [("first", "value"), ("second", "value")]


def test_values_are_formatted_with_the_child_keywords():
    p = Probe()
    assert kv([("p", p, None)], label="A", zeta=1) == "A(p=P)"
    kw = p.calls[-1]
    assert list(kw)[:5] == ["compact", "verbose", "root_indent", "list_wrap_threshold",
                            "strip_object_id"]
    assert kw["compact"] is True and kw["verbose"] is False
    assert kw["root_indent"] == 1  # one deeper under a label
    assert kw["zeta"] == 1 and kw["custom_format"] is None
    kv([("p", p, None)], compact=None, verbose=None, root_indent=2, list_wrap_threshold=7)
    kw = p.calls[-1]
    assert kw["compact"] is None and kw["verbose"] is None
    assert kw["root_indent"] == 2 and kw["list_wrap_threshold"] == 7


def test_nested_values_use_the_wrapping_of_format():
    items = [("xs", list(range(30)), None)]
    assert kv(items, label="A", list_wrap_threshold=10, compact=False) == (
        "A(\n  xs=[\n" + ",\n".join(f"    {i}" for i in range(30)) + "\n  ]\n)"
    )


def test_custom_format_sees_the_formatted_text_and_child_level():
    seen = []

    def custom(value, level):
        seen.append((value, level))
        return 9 if value == 1 else None

    assert kv([("a", 1, None), ("b", [1], None)], label="L", custom_format=custom) == "L(a=9, b=[9])"
    # format asks first with the value, then kvlist_str with format's text.
    assert seen == [(1, 1), ("9", 1), ([1], 1), (1, 2), ("[9]", 1)]


@pytest.mark.parametrize(
    "items, kwargs, error",
    [
        ([("k", 1)], {}, IndexError),
        ([7], {}, TypeError),
        (5, {}, TypeError),
        ([("k", 1, None)], {"label": "L", "root_indent": None}, TypeError),
        ([("k", 1, None)], {"compact": False, "root_indent": "x"}, TypeError),
    ],
)
def test_errors_propagate(items, kwargs, error):
    with pytest.raises(error):
        kv(items, **kwargs)


def test_generator_and_str_key():
    class K:
        def __str__(self):
            return "key"

    assert kv((("k", i, None) for i in range(2))) == "k=0, k=1"
    assert kv([(K(), 1, None)]) == "key=1"


class Quiet:
    __vesk_formattable__ = True

    def format(self, **kwargs):
        return "q"


def test_no_reference_leaks():
    items = [("a", [1, "s"], None), ("b", 2, (None, 2)), ("", Quiet(), None)]
    assert_no_leak(
        lambda: (
            kv(items, label="A", compact=False, root_indent=1, zeta=1),
            kv(items, bracket_type=1.2, label="B", custom_format=lambda v, i: None),
        )
    )
