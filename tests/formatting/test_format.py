import contextlib
import threading

import pytest

import vesk_core._native as native
from fresh import run_fresh
from leaks import assert_no_leak
from races import started

fmt = native.format


class Probe:
    __vesk_formattable__ = True

    def __init__(self, text="P", result=None):
        self.text, self.result, self.kw = text, result, None

    def format(self, **kwargs):
        self.kw = kwargs
        self.memo_during_call = set(kwargs["memo"])
        return self.text if self.result is None else self.result


class Plain:
    pass


class Int(int):
    __repr__ = lambda self: "repr-of-int"  # noqa: E731
    __str__ = lambda self: "str-of-int"  # noqa: E731


class WithMethod:
    def method(self):
        pass


CHILD_KEYS = ["compact", "verbose", "root_indent", "list_wrap_threshold", "strip_object_id",
              "max_str_len", "max_bytes_len", "custom_format", "memo"]


@pytest.mark.parametrize(
    "value, kwargs, expected",
    [
        (7, {}, "7"), (True, {"markdown": True}, "`True`"), (None, {"markdown": None}, "None"),
        ("a'b", {}, '"a\'b"'), (b"\x00z", {}, "b'\\x00z'"),
        (WithMethod().method, {}, "<bound method WithMethod.method>"),
        # Only exact types take the scalar road: a subclass ends in str, or
        # in repr with compact.
        (Int(3), {}, "str-of-int"), (Int(3), {"compact": True}, "repr-of-int"),
        # Truncation puts the ellipsis inside the quotes.
        ("abc", {"max_str_len": 2}, "'ab...'"), ("abc", {"max_str_len": 3}, "'abc'"),
        ("abcd", {"max_str_len": -1}, "'abc...'"), ("éèêë", {"max_str_len": 2}, "'éè...'"),
        (b"abcd", {"max_bytes_len": 2}, "b'ab...'"), (b"abcd", {"max_str_len": 1}, "b'abcd'"),
        ("abc", {"max_str_len": 2**70}, "'abc'"),
        ("abc", {"max_str_len": 2.0}, TypeError),  # slicing needs an int
    ],
)
def test_scalars(value, kwargs, expected):
    if isinstance(expected, type):
        with pytest.raises(expected):
            fmt(value, **kwargs)
    else:
        assert fmt(value, **kwargs) == expected


def test_formattable_gets_the_child_keywords_in_order():
    p = Probe()
    assert fmt(p, markdown=True, zeta=1, alpha=2) == "`P`"
    kw = p.kw
    assert list(kw) == CHILD_KEYS + ["zeta", "alpha", "include_keys", "exclude_keys"]
    assert [kw[k] for k in CHILD_KEYS[:8]] == [False, True, 0, 80, False, None, None, None]
    assert kw["include_keys"] is None and kw["exclude_keys"] == set()
    assert type(kw["memo"]) is set and p.memo_during_call == {id(p)} and not kw["memo"]
    # Nested: one level deeper per container, the same memo, and the key
    # filters apply to one level only.
    memo = set()
    fmt({"k": [p]}, root_indent=2, compact=True, max_str_len=5, memo=memo, verbose=None,
        include_keys={"k"})
    kw = p.kw
    assert (kw["root_indent"], kw["compact"], kw["verbose"], kw["max_str_len"]) == (4, True, None, 5)
    assert kw["memo"] is memo and kw["include_keys"] is None and kw["exclude_keys"] == set()


def test_explicit_none_changes_behaviour_only_where_it_is_read():
    long = list(range(40))
    assert fmt(long, compact=None) == fmt(long)  # falsy: still wraps
    with pytest.raises(TypeError):
        fmt([1], list_wrap_threshold=None)  # cannot be compared with a length
    with pytest.raises(TypeError):
        fmt([1], root_indent=None)  # cannot be increased for the children


@pytest.mark.parametrize(
    "value, kwargs, expected",
    [
        (["abc", b"abc"], {"max_str_len": 1, "max_bytes_len": 2}, "['a...', b'ab...']"),
        ((), {}, "()"), ([1, 2], {"list_wrap_threshold": 6}, "[1, 2]"),
        ([1, 2], {"list_wrap_threshold": 5}, "[\n  1,\n  2\n]"),
        ([1, 2], {"list_wrap_threshold": 5, "compact": True}, "[1, 2]"),
        ((1,), {"list_wrap_threshold": 0, "root_indent": 1}, "(\n    1\n  )"),
        # The length is counted in code points, not bytes.
        (["ééé"], {"list_wrap_threshold": 7}, "['ééé']"),
        (["ééé"], {"list_wrap_threshold": 6}, "[\n  'ééé'\n]"),
        ({"a": 1}, {}, "{\n  'a': 1\n}"), ({}, {}, "{}"),
        ({"a": 1}, {"compact": True, "list_wrap_threshold": 0}, "{'a': 1}"),
        ({1: {"b": None}}, {"root_indent": 1}, "{\n    1: {\n      'b': None\n    }\n  }"),
    ],
)
def test_container_layout(value, kwargs, expected):
    assert fmt(value, **kwargs) == expected


@pytest.mark.parametrize(
    "include, exclude, kept",
    [
        ({"a"}, {"a"}, "a"),  # no exclusion while an inclusion is in force
        (set(), {"a"}, "bc"),  # an empty inclusion is none
        (None, {"a", "c"}, "b"),
        (["c", "b"], None, "bc"),  # dictionary order, any container
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


def test_recursion_marker():
    lst = [1]
    lst.append(lst)
    assert fmt(lst) == f"[1, <recursive list at 0x{id(lst):x}>]"
    d = {}
    d["me"] = d
    assert fmt(d, compact=True) == f"{{'me': <recursive dict at 0x{id(d):x}>}}"
    shared = [0]
    assert fmt([shared, shared]) == "[[0], [0]]"  # repeated is not recursive
    # A memo given by the caller is honoured; the marker is never quoted.
    assert fmt(shared, memo={id(shared)}, markdown=True) == f"<recursive list at 0x{id(shared):x}>"
    for bad in ([], frozenset(), {}):
        with pytest.raises(TypeError):
            fmt([1], memo=bad)


class BadLookupMeta(type):
    @property
    def __vesk_formattable__(cls):
        raise ValueError("lookup failed")


class BadLookup(metaclass=BadLookupMeta):
    pass


class NotFormattable:
    __vesk_formattable__ = 0

    def __str__(self):
        return "plain-str"


def test_formattable_marker_and_results():
    assert fmt((Probe("X"), Probe("Y"))) == "(X, Y)"
    assert fmt(NotFormattable()) == "plain-str"
    with pytest.raises(ValueError, match="lookup failed"):
        fmt(BadLookup())
    memo = set()
    for bad in (Probe(result=3), [Probe(result=b"x")]):
        with pytest.raises(TypeError):
            fmt(bad, memo=memo)
    assert memo == set()  # entries leave the memo also on failure


class Text(str):
    def __str__(self):
        return "not the text"


def test_texts_of_str_subclasses_are_joined_by_their_characters():
    p = Probe(result=Text("x"))
    assert fmt([p, {"k": p}], compact=True) == "[x, {'k': x}]"
    assert fmt(p, markdown=True) == "`x`"


def test_strip_object_id():
    assert fmt([Plain()], strip_object_id=True) == "[Plain(...)]"
    assert fmt(Plain(), strip_object_id=None).startswith("<")
    assert fmt(NotFormattable(), strip_object_id=True) == "plain-str"


def test_custom_format_first_then_declined_twice():
    calls = []

    def custom(value, root_indent):
        calls.append((value, root_indent))

    obj = Plain()
    assert fmt(obj, custom_format=custom, root_indent=3) == str(obj)
    assert calls == [(obj, 3), (obj, 3)]
    calls.clear()
    assert fmt([1], custom_format=custom) == "[1]"
    assert calls == [([1], 0), (1, 1)]
    assert fmt([1, "a"], custom_format=lambda v, ri: 42 if v == "a" else None) == "[1, 42]"
    assert fmt(5, custom_format=lambda v, ri: "five", markdown=True) == "`five`"


class Mutate:
    __vesk_formattable__ = True

    def __init__(self, action, n=0):
        self.action, self.n = action, n

    def format(self, **kwargs):
        self.action(self)
        return "m"


def test_containers_changing_while_formatted():
    d = {}
    d.update(a=Mutate(lambda m: d.setdefault(len(d))), b=1)
    with pytest.raises(RuntimeError, match="changed size"):
        fmt(d)

    # Keys replaced one for one keep the size but must not show entries
    # that were never in the dictionary together.
    def replace(m):
        del d[m.n]
        d[m.n + 100] = Mutate(replace, m.n + 100)

    d = {i: Mutate(replace, i) for i in range(10)}
    with pytest.raises(RuntimeError, match="keys changed"):
        fmt(d)

    # A key taken out and stored again makes a full table compact itself at
    # the same size: the walk must neither skip the entry after it nor show
    # the key twice.
    d = {"s": 0, "m": Mutate(lambda m: d.__setitem__("s", d.pop("s"))), "y": 1, "z": 2, "w": 3}
    with pytest.raises(RuntimeError, match="keys changed"):
        fmt(d)

    # A key whose last reference goes between two entries: its finaliser
    # removes the next entry, which must not be read once it is freed.
    class Key:
        def __init__(self, on_del=None):
            self.on_del = on_del

        def __del__(self):
            if self.on_del:
                self.on_del()

    def swap(m):
        nonlocal first
        del d[first]
        first = None
        d[Key()] = 0

    later = Key()
    first = Key(lambda: d.pop(later))
    d = {first: Mutate(swap), later: object()}
    with pytest.raises(RuntimeError, match="changed size"):
        fmt(d)

    lst = []
    lst.extend([Mutate(lambda m: lst.clear()), 1, 2])
    assert fmt(lst) == "[m]"


def test_deep_nesting_raises_instead_of_crashing():
    deep = []
    for _ in range(100_000):
        deep = [deep]
    with pytest.raises(RecursionError):
        fmt(deep)


def test_indentation_beyond_memory_fails_at_once():
    # The blanks of one indentation are one allocation: a level far beyond
    # memory raises MemoryError instead of first filling memory chunk by chunk.
    run_fresh(
        """
        import resource
        import vesk_core._native as native

        with open("/proc/self/status") as status:
            vm = next(int(l.split()[1]) for l in status if l.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, ((vm << 10) + (512 << 20), resource.RLIM_INFINITY))
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        try:
            native.kvlist_str([("k", 1, None)], compact=False, root_indent=2**40)
        except MemoryError as e:
            assert str(e).startswith("root_indent too large: 1099511627776 levels"), e
        else:
            raise AssertionError("no MemoryError")
        grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        assert grown_kib < 64 << 10, grown_kib
        """
    )


@pytest.mark.parametrize(
    "call",
    [lambda: fmt(list(range(40)), compact=False, root_indent=2**62),
     lambda: native.kvlist_str([("k", 1, None)], label="L", compact=False, root_indent=2**62)],
)
def test_an_indentation_past_the_address_space_names_root_indent(call):
    with pytest.raises(MemoryError, match=r"^root_indent too large: \d+ levels"):
        call()


def test_threads_format_while_another_mutates():
    churned = {i: [i, str(i), {"k": (i, None)}] for i in range(50)}
    stop = threading.Event()
    # Each reader's own texts and its call for a quiet spell: changes running
    # truly at once (the free-threaded build) may spoil every format of a
    # round, so a reader with no whole text after its rounds asks the
    # churner to pause until it has one.
    texts, quiet = [[], []], [threading.Event(), threading.Event()]

    def churn():
        while not stop.is_set():
            if any(q.is_set() for q in quiet):
                stop.wait(0.0001)
                continue
            churned.pop(0, None)
            churned[0] = [1]

    def reader(k):
        n = 0
        while n < 300 or not texts[k]:
            if n >= 300:
                quiet[k].set()
            n += 1
            with contextlib.suppress(RuntimeError):  # changed between two entries
                texts[k].append(fmt(churned, compact=True))
        quiet[k].clear()

    readers = [threading.Thread(target=reader, args=(k,)) for k in range(2)]
    with started([threading.Thread(target=churn), *readers], stop):
        for t in readers:
            t.join()
        stop.set()
    assert all(texts)
    assert all(t.startswith("{") and t.endswith("]}") for mine in texts for t in mine)


def test_no_reference_leaks():
    value = {"a": [1, "x" * 50, (2.5, None)], "b": {"c": Probe()}, "m": WithMethod().method}
    assert_no_leak(
        lambda: (
            fmt(value, max_str_len=3, zeta=1),
            fmt(value, compact=True, strip_object_id=True, markdown=True),
            fmt([value], list_wrap_threshold=1, include_keys={"a"}),
        )
    )
