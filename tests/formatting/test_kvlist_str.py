import pytest

import vesk_core._native as native
from leaks import assert_no_leak

kv = native.kvlist_str


class Probe:
    __vesk_formattable__ = True

    def format(self, **kwargs):
        self.kw = kwargs
        return "P"


TWO = [("x", 1, None), ("y", 3, 2)]


@pytest.mark.parametrize(
    "items, kwargs, expected",
    [
        ([("x", 1, None), ("y", 2, 2)], {"label": "A"}, "A(x=1)"), (TWO, {}, "x=1, y=3"),
        (TWO, {"label": "A", "compact": False}, "A(\n  x=1,\n  y=3\n)"),
        (TWO, {"label": "A", "compact": False, "root_indent": 1}, "A(\n    x=1,\n    y=3\n  )"),
        (TWO, {"label": "", "compact": False, "root_indent": 1}, "(\n  x=1,\n  y=3\n  )"),
        # An explicit None (or any falsy level) is the default level 0.
        (TWO, {"label": "A", "root_indent": None}, "A(x=1, y=3)"),
        (TWO, {"label": "A", "compact": False, "root_indent": None}, "A(\n  x=1,\n  y=3\n)"),
        ([("y", 2, 2)], {"label": "A", "compact": False}, "A()"),
        (TWO, {"compact": None}, "x=1,\ny=3"),
        ([(None, 1, None), ("", "s", None), (0, 2, None)], {}, "1, 's', 2"),
        # Extra keywords reach format also for plain scalars.
        ([("s", "abc", None), ("n", 1, None)], {"max_str_len": 1, "markdown": True},
         "s=`'a...'`, n=`1`"),
        # Items may be any indexable sequence; extra elements are ignored.
        ((["k", [1, 2], None, "ignored"] for _ in range(1)), {}, "k=[1, 2]"),
    ],
)
def test_layout(items, kwargs, expected):
    assert kv(items, **kwargs) == expected


@pytest.mark.parametrize(
    "bracket_type, expected",
    [(1, "L[k=1]"), (1.7, "L[k=1]"), (-1, "L{k=1}"), (-3, "L(k=1)"), ("2", "L{k=1}"),
     (3, IndexError), (-4, IndexError), (2**80, IndexError)],
)
def test_bracket_types(bracket_type, expected):
    if expected is IndexError:
        with pytest.raises(IndexError, match="list index out of range"):
            kv([("k", 1, None)], label="L", bracket_type=bracket_type)
    else:
        assert kv([("k", 1, None)], label="L", bracket_type=bracket_type) == expected
    # Without a label the bracket type is never looked at.
    assert kv([("k", 1, None)], bracket_type=bracket_type) == "k=1"


@pytest.mark.parametrize(
    "value, omit, shown",
    [(0, (None, 0), False), (1, (None, 0), True), ([], [], False), (0, None, True)],
)
def test_omit_when(value, omit, shown):
    assert (kv([("k", value, omit)]) != "") is shown


def test_omit_when_operand_order():
    log = []

    class Eq:
        def __init__(self, name, equal):
            self.name, self.equal = name, equal

        def __eq__(self, other):
            log.append((self.name, other.name))
            return self.equal

    kv([("k", Eq("value", False), Eq("omit", False))])
    kv([("k", Eq("value", False), (Eq("first", False), Eq("second", True), Eq("third", True)))])
    # The value is on the left of a single omit-when, each element on the
    # left for a tuple, and the first match ends the search.
    assert log == [("value", "omit"), ("first", "value"), ("second", "value")]


def test_values_are_formatted_with_the_child_keywords():
    p = Probe()
    assert kv([("p", p, None)], label="A", zeta=1) == "A(p=P)"
    assert p.kw["compact"] is True and p.kw["verbose"] is False
    assert p.kw["root_indent"] == 1 and p.kw["zeta"] == 1  # one deeper under a label
    kv([("p", p, None)], compact=None, verbose=None, root_indent=2, list_wrap_threshold=7)
    assert p.kw["compact"] is None and p.kw["verbose"] is False
    assert p.kw["root_indent"] == 2 and p.kw["list_wrap_threshold"] == 7
    kv([("p", p, None)], label="A", verbose=0, root_indent=None)
    assert p.kw["verbose"] is False and p.kw["root_indent"] == 1
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
    [([("k", 1)], {}, IndexError), ([7], {}, TypeError), (5, {}, TypeError),
     ([("k", 1, None)], {"compact": False, "root_indent": "x"}, TypeError)],
)
def test_errors_propagate(items, kwargs, error):
    with pytest.raises(error):
        kv(items, **kwargs)


def test_no_reference_leaks():
    items = [("a", [1, "s"], None), ("b", 2, (None, 2)), ("", 3.5, None)]
    assert_no_leak(
        lambda: (
            kv(items, label="A", compact=False, root_indent=1, zeta=1),
            kv(items, bracket_type=1.2, label="B", custom_format=lambda v, i: None),
        )
    )
