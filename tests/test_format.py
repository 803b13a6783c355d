import sys
import threading

import pytest

import vesk_core._native as native
from leaks import assert_no_leak

fmt = native.format


class Probe:
    """Formattable value that records the keywords of each call."""

    __vesk_formattable__ = True

    def __init__(self, text="P", result=None):
        self.text = text
        self.result = result
        self.calls = []

    def format(self, *args, **kwargs):
        assert not args
        self.calls.append(kwargs)
        self.memo_during_call = set(kwargs.get("memo") or ())
        return self.text if self.result is None else self.result

    @property
    def kw(self):
        return self.calls[-1]


class Plain:
    pass


CHILD_KEYS = [
    "compact",
    "verbose",
    "root_indent",
    "list_wrap_threshold",
    "strip_object_id",
    "max_str_len",
    "max_bytes_len",
    "custom_format",
    "memo",
]


# --- plain scalars -------------------------------------------------------


class Int(int):
    def __repr__(self):
        return "repr-of-int"

    def __str__(self):
        return "str-of-int"


@pytest.mark.parametrize(
    "value, kwargs, expected",
    [
        (7, {}, "7"),
        (1.5, {}, "1.5"),
        (True, {}, "True"),
        (None, {}, "None"),
        ("a'b", {}, '"a\'b"'),
        (b"\x00z", {}, "b'\\x00z'"),
        # Only exact types take the scalar road; a subclass ends in str or,
        # with compact, repr.
        (Int(3), {}, "str-of-int"),
        (Int(3), {"compact": True}, "repr-of-int"),
        (Int(3), {"compact": None}, "str-of-int"),
    ],
)
def test_scalars(value, kwargs, expected):
    assert fmt(value, **kwargs) == expected


@pytest.mark.parametrize(
    "value, kwargs, expected",
    [
        ("abc", {"max_str_len": 2}, "'ab...'"),
        ("abc", {"max_str_len": 3}, "'abc'"),
        ("abc", {"max_str_len": None}, "'abc'"),
        ("abc", {"max_str_len": True}, "'a...'"),
        ("abcd", {"max_str_len": -1}, "'abc...'"),
        ("éèêë", {"max_str_len": 2}, "'éè...'"),  # counted in code points
        (b"abcd", {"max_bytes_len": 2}, "b'ab...'"),
        (b"abcd", {"max_bytes_len": None}, "b'abcd'"),
        # Each limit applies to its own type only.
        ("abcd", {"max_bytes_len": 1}, "'abcd'"),
        (b"abcd", {"max_str_len": 1}, "b'abcd'"),
        ("abc", {"max_str_len": 2.0}, TypeError),  # slicing needs an int
        ("abc", {"max_str_len": 2**70}, "'abc'"),
    ],
)
def test_truncation(value, kwargs, expected):
    if isinstance(expected, type):
        with pytest.raises(expected):
            fmt(value, **kwargs)
    else:
        assert fmt(value, **kwargs) == expected


class WithMethod:
    def method(self):
        pass


def test_bound_method_and_markdown_quoting_of_scalars():
    assert fmt(WithMethod().method) == "<bound method WithMethod.method>"
    assert fmt(WithMethod().method, markdown=True) == "`<bound method WithMethod.method>`"
    assert fmt("x", markdown=True) == "`'x'`"
    assert fmt(1, markdown=None) == "1"


# --- options: omitted, None and a value -----------------------------------


def test_formattable_gets_the_child_keywords_in_order():
    p = Probe()
    assert fmt(p) == "P"
    kw = p.kw
    assert list(kw) == CHILD_KEYS + ["include_keys", "exclude_keys"]
    assert kw["compact"] is False and kw["verbose"] is True
    assert kw["root_indent"] == 0 and kw["list_wrap_threshold"] == 80
    assert kw["strip_object_id"] is False
    assert kw["max_str_len"] is kw["max_bytes_len"] is kw["custom_format"] is None
    assert kw["include_keys"] is None
    assert type(kw["memo"]) is set and id(p) in p.memo_during_call
    assert type(kw["exclude_keys"]) is set and not kw["exclude_keys"]
    # The key leaves the memo once the value is done.
    assert id(p) not in kw["memo"]


SENTINEL = object()


@pytest.mark.parametrize(
    "option, passed, seen",
    [
        # Explicit None is kept and passed on ...
        ("compact", None, None),
        ("verbose", None, None),
        ("root_indent", None, None),
        ("list_wrap_threshold", None, None),
        ("strip_object_id", None, None),
        # ... while for these None means omitted.
        ("include_keys", None, None),
        ("max_str_len", None, None),
        ("max_bytes_len", None, None),
        ("custom_format", None, None),
        # Values pass through as the very objects given.
        ("compact", SENTINEL, SENTINEL),
        ("verbose", SENTINEL, SENTINEL),
        ("root_indent", 4, 4),
        ("list_wrap_threshold", SENTINEL, SENTINEL),
        ("strip_object_id", SENTINEL, SENTINEL),
        ("include_keys", SENTINEL, SENTINEL),
        ("exclude_keys", SENTINEL, SENTINEL),
        ("max_str_len", SENTINEL, SENTINEL),
        ("max_bytes_len", SENTINEL, SENTINEL),
    ],
)
def test_each_option_reaches_a_formattable(option, passed, seen):
    p = Probe()
    fmt(p, **{option: passed})
    assert p.kw[option] is seen


def test_none_exclude_keys_and_memo_mean_omitted():
    p = Probe()
    fmt(p, exclude_keys=None, memo=None)
    assert p.kw["exclude_keys"] == set() and type(p.kw["memo"]) is set


def test_markdown_is_never_passed_on_and_extra_keywords_are():
    p = Probe()
    fmt(p, markdown=True, zeta=1, alpha=2)
    assert "markdown" not in p.kw
    assert list(p.kw) == CHILD_KEYS + ["zeta", "alpha", "include_keys", "exclude_keys"]
    inner = Probe()
    fmt([inner], zeta=1, alpha=2)
    assert list(inner.kw) == CHILD_KEYS + ["zeta", "alpha", "include_keys", "exclude_keys"]


def test_explicit_none_changes_behaviour_only_where_it_is_read():
    long = list(range(40))
    # compact None is falsy: the list still wraps.
    assert fmt(long, compact=None) == fmt(long)
    # A None threshold cannot be compared with a length.
    with pytest.raises(TypeError):
        fmt([1], list_wrap_threshold=None)
    # A None root indent cannot be increased for the children.
    with pytest.raises(TypeError):
        fmt([1], root_indent=None)
    # None filters are no filters.
    d = {"a": 1, "b": 2}
    assert fmt(d, include_keys=None, exclude_keys=None) == fmt(d)


def test_options_travel_down_to_nested_formattables():
    p = Probe()
    memo = set()
    fmt({"k": [p]}, root_indent=2, compact=True, max_str_len=5, memo=memo, verbose=None)
    kw = p.kw
    assert kw["root_indent"] == 4
    assert kw["compact"] is True and kw["verbose"] is None and kw["max_str_len"] == 5
    assert kw["memo"] is memo
    # Filters apply to one level only.
    assert kw["include_keys"] is None and kw["exclude_keys"] == set()


# --- containers ----------------------------------------------------------


@pytest.mark.parametrize(
    "value, kwargs, expected",
    [
        ([1, 2], {}, "[1, 2]"),
        ((1, 2), {}, "(1, 2)"),
        ([], {}, "[]"),
        ([1, 2], {"list_wrap_threshold": 6}, "[1, 2]"),
        ([1, 2], {"list_wrap_threshold": 5}, "[\n  1,\n  2\n]"),
        ([1, 2], {"list_wrap_threshold": 5, "compact": True}, "[1, 2]"),
        ([1, 2], {"list_wrap_threshold": 5.5}, "[\n  1,\n  2\n]"),
        ((1,), {"list_wrap_threshold": 0, "root_indent": 1}, "(\n    1\n  )"),
        # The length is counted in code points, not bytes.
        (["ééé"], {"list_wrap_threshold": 7}, "['ééé']"),
        (["ééé"], {"list_wrap_threshold": 6}, "[\n  'ééé'\n]"),
        ({"a": 1}, {}, "{\n  'a': 1\n}"),
        ({"a": 1}, {"compact": True}, "{'a': 1}"),
        ({}, {}, "{}"),
        ({1: {"b": None}}, {"root_indent": 1}, "{\n    1: {\n      'b': None\n    }\n  }"),
        # Dictionaries are never measured against the threshold.
        ({"a": 1}, {"list_wrap_threshold": 0, "compact": True}, "{'a': 1}"),
    ],
)
def test_container_layout(value, kwargs, expected):
    assert fmt(value, **kwargs) == expected


@pytest.mark.parametrize(
    "include, exclude, kept",
    [
        (None, None, ["a", "b", "c"]),
        ({"a"}, {"a"}, ["a"]),  # no exclusion while an inclusion is in force
        (set(), {"a"}, ["b", "c"]),  # an empty inclusion is none
        (None, {"a", "c"}, ["b"]),
        (["c", "b"], None, ["b", "c"]),  # dictionary order, any container
        ({"z"}, None, []),
    ],
)
def test_dict_key_filters(include, exclude, kept):
    text = fmt({"a": 1, "b": 2, "c": 3}, compact=True, include_keys=include, exclude_keys=exclude)
    assert text == "{" + ", ".join(f"'{k}': {ord(k) - 96}" for k in kept) + "}"


def test_subclasses_of_containers_are_formatted_as_containers():
    class L(list):
        def __iter__(self):
            return iter([9])

    class D(dict):
        pass

    assert fmt(L([1, 2])) == "[9]"
    assert fmt(D(a=1), compact=True) == "{'a': 1}"


def test_recursion_marker_on_self_containing_list_and_dict():
    lst = [1]
    lst.append(lst)
    assert fmt(lst) == f"[1, <recursive list at 0x{id(lst):x}>]"
    d = {}
    d["me"] = d
    assert fmt(d, compact=True) == f"{{'me': <recursive dict at 0x{id(d):x}>}}"
    # A value may appear twice when it does not contain itself.
    shared = [0]
    assert fmt([shared, shared]) == "[[0], [0]]"
    # A memo given by the caller is honoured; the marker is never quoted.
    assert fmt(shared, memo={id(shared)}, markdown=True) == f"<recursive list at 0x{id(shared):x}>"


@pytest.mark.parametrize("memo", [[], frozenset(), {}])
def test_memo_must_be_a_set(memo):
    with pytest.raises(TypeError):
        fmt([1], memo=memo)


def test_memo_entry_is_discarded_when_formatting_fails():
    class Boom:
        __vesk_formattable__ = True

        def format(self, **kwargs):
            raise KeyError("boom")

    memo = set()
    with pytest.raises(KeyError):
        fmt([Boom()], memo=memo)
    assert memo == set()


# --- formattable values ---------------------------------------------------


class NotFormattable:
    __vesk_formattable__ = 0

    def __str__(self):
        return "plain-str"


class BadLookupMeta(type):
    @property
    def __vesk_formattable__(cls):
        raise ValueError("lookup failed")


class BadLookup(metaclass=BadLookupMeta):
    pass


def test_formattable_marker_and_results():
    assert fmt([Probe("X"), Probe("Y")]) == "[X, Y]"
    assert fmt(NotFormattable()) == "plain-str"
    with pytest.raises(ValueError, match="lookup failed"):
        fmt(BadLookup())
    with pytest.raises(TypeError):
        fmt(Probe(result=3))
    with pytest.raises(TypeError):
        fmt([Probe(result=b"x")])


def test_nested_formattable_texts_count_towards_wrapping():
    assert fmt([Probe("x" * 10)], list_wrap_threshold=12) == "[xxxxxxxxxx]"
    assert fmt([Probe("x" * 10)], list_wrap_threshold=11) == "[\n  xxxxxxxxxx\n]"


# --- other values, custom_format, strip_object_id ---------------------------


def test_strip_object_id():
    assert fmt(Plain(), strip_object_id=True) == "Plain(...)"
    assert fmt(Plain(), strip_object_id=None).startswith("<")
    assert fmt(NotFormattable(), strip_object_id=True) == "plain-str"
    assert fmt([Plain()], strip_object_id=True) == "[Plain(...)]"


def test_custom_format_first_then_declined_twice():
    calls = []

    def custom(value, root_indent):
        calls.append((value, root_indent))
        return None

    obj = Plain()
    assert fmt(obj, custom_format=custom, root_indent=3) == str(obj)
    assert calls == [(obj, 3), (obj, 3)]
    calls.clear()
    assert fmt([1], custom_format=custom) == "[1]"
    assert calls == [([1], 0), (1, 1)]

    assert fmt([1, "a"], custom_format=lambda v, ri: 42 if v == "a" else None) == "[1, 42]"
    assert fmt(5, custom_format=lambda v, ri: "five", markdown=True) == "`five`"


# --- robustness -------------------------------------------------------------


def test_dict_changing_size_while_formatted_raises():
    d = {}

    class Grow:
        __vesk_formattable__ = True

        def format(self, **kwargs):
            d[len(d)] = None
            return "g"

    d["a"] = Grow()
    d["b"] = 1
    with pytest.raises(RuntimeError, match="changed size"):
        fmt(d)


def test_list_changing_while_formatted_stays_safe():
    lst = []

    class Shrink:
        __vesk_formattable__ = True

        def format(self, **kwargs):
            lst.clear()
            return "s"

    lst.extend([Shrink(), 1, 2])
    assert fmt(lst) == "[s]"


def test_deep_nesting_raises_instead_of_crashing():
    deep = []
    for _ in range(100_000):
        deep = [deep]
    with pytest.raises(RecursionError):
        fmt(deep)


def test_concurrent_formatting_while_another_thread_mutates():
    shared = {i: [i, str(i), {"k": (i, None)}] for i in range(200)}
    expected = fmt(shared)
    stop = threading.Event()
    errors = []

    def reader():
        while not stop.is_set():
            assert fmt(shared) == expected

    def churn():
        target = {i: list(range(5)) for i in range(50)}
        while not stop.is_set():
            try:
                fmt(target)
            except RuntimeError:
                pass
            target.pop(0, None)
            target[0] = [1]

    def guarded(fn):
        try:
            fn()
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)
            stop.set()

    threads = [threading.Thread(target=guarded, args=(f,)) for f in (reader, reader, churn)]
    for t in threads:
        t.start()
    timer = threading.Timer(1.0, stop.set)
    timer.start()
    for t in threads:
        t.join()
    assert not errors


class Quiet:
    __vesk_formattable__ = True

    def format(self, **kwargs):
        return "q"


def test_no_reference_leaks():
    value = {"a": [1, "x" * 50, (2.5, None)], "b": {"c": Quiet()}, "m": WithMethod().method}
    assert_no_leak(
        lambda: (
            fmt(value, max_str_len=3, zeta=1),
            fmt(value, compact=True, strip_object_id=True, markdown=True),
            fmt([value], list_wrap_threshold=1, include_keys={"a"}),
        )
    )
