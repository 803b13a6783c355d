import copy
import enum
import pickle
import threading

import pytest

import vesk_core
from vesk_core._native import KeyPath
from fresh import run_fresh
from leaks import assert_no_leak

P = KeyPath.parse


class Color(enum.IntEnum):
    RED = 3


class Name(str):
    pass


class StrKeyLike:
    __vesk_str_key__ = True

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


def same_keys(p, keys):
    # `==` alone would let True pass for 1 and a str subclass for a str.
    return p.keys == keys and [type(k) for k in p.keys] == [type(k) for k in keys]


@pytest.mark.parametrize("root", [KeyPath(), KeyPath(None), KeyPath([]), KeyPath(()), P("")])
def test_root_paths(root):
    assert root.depth == 0 and len(root) == 0 and root.is_root and not root
    assert str(root) == "" and root.keys == []
    with pytest.raises(KeyError, match="Key of root KeyPath does not exist."):
        root.key
    with pytest.raises(KeyError, match="Parent of a root KeyPath does not exist."):
        root.parent


@pytest.mark.parametrize(
    "arg, keys, text",
    [
        ("a.b", ["a.b"], "[a.b]"),  # one key, never parsed
        (["a", 0, "b"], ["a", 0, "b"], "a[0].b"),
        (("a", 0, "b"), ["a", 0, "b"], "a[0].b"),
        ([None], [None], "[None]"), ([[1, 2]], [[1, 2]], "[[1, 2]]"),  # lists are not flattened
        (True, [True], "[True]"),  # bools are never integer keys
        (2**63, [2**63], f"[{2**63}]"),
        (Color.RED, [3], "[3]"),  # subclasses are dropped
        (Name("x"), ["x"], "x"),
        ("\ud800", ["\ud800"], UnicodeEncodeError),  # no UTF-8 form: kept as the object
    ],
)
def test_construction_forms(arg, keys, text):
    p = KeyPath(arg)
    assert same_keys(p, keys) and p.key == keys[-1] and p.depth == len(p) == len(keys)
    if text is UnicodeEncodeError:
        with pytest.raises(UnicodeEncodeError):
            str(p)
    else:
        assert str(p) == repr(p) == p.path == text


def test_parent_argument():
    assert KeyPath("x", P("a")).keys == ["a", "x"]
    assert KeyPath(["x", 1], parent=P("a.b")).parent == P("a.b.x")
    assert KeyPath(parent=P("a")).keys == ["a"]
    with pytest.raises(TypeError, match="parent"):
        KeyPath("x", "a")


def test_class_is_final():
    with pytest.raises(TypeError):
        type("Sub", (KeyPath,), {})
    assert KeyPath.__serialization_key__ == "vesk.topology.KeyPath"


def test_list_read_while_another_thread_shrinks_it():
    # Items are read one at a time under the list's lock: the reading may end
    # early but never reads past the end or sees a torn list.
    data = list(range(2000))
    stop = threading.Event()

    def shrink():
        while not stop.is_set() and data:
            data.pop()

    t = threading.Thread(target=shrink)
    t.start()
    try:
        for _ in range(50):
            keys = KeyPath(data).keys
            assert keys == list(range(len(keys)))
    finally:
        stop.set()
        t.join()


@pytest.mark.parametrize(
    "text, keys",
    [
        ("a.0", ["a", "0"]),  # unbracketed digits stay names
        ("a[0]b", ["a", 0, "b"]), ("[a.b].c", ["a.b", "c"]), ("x[a.b[c]].y", ["x", "a.b[c]", "y"]),
        (".a.", ["a"]), ("[-1]", [-1]), ("[007]", [7]), ("[9223372036854775807]", [2**63 - 1]),
        ("[9223372036854775808]", [2**63]),  # beyond 64 bits: kept as the int object
        ("[\u0661\u0662]", [12]),  # Arabic-Indic digits
        ("[1.5]", ["1.5"]), ("[ 1]", [" 1"]), ("[+1]", ["+1"]), ("[-]", ["-"]),
        ("é.ü[2]", ["é", "ü", 2]),
    ],
)
def test_scan(text, keys):
    assert same_keys(P(text), keys)


@pytest.mark.parametrize(
    "text, message",
    [
        ("a]b", "KeyPath parse failed: unmatched close bracket at position 1:'a]b'"),
        ("éa]b", "KeyPath parse failed: unmatched close bracket at position 2:'éa]b'"),
        ("a[b", "KeyPath parse failed: unmatched open bracket at position 1: 'a[b'"),
        ("ü[x].[y", "KeyPath parse failed: unmatched open bracket at position 5: 'ü[x].[y'"),
        ("[--5]", "invalid literal for int() with base 10: '--5'"),
        ("[\u00b2]", "invalid literal for int() with base 10: '\u00b2'"),
    ],
)
def test_scan_errors(text, message):
    with pytest.raises(ValueError) as info:
        P(text)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "keys, text, plain",
    [
        (["a.b", "c"], "[a.b].c", "a.b.c"), ([0, "a"], "[0].a", "[0].a"), (["a]"], "[a]]", "a]"),
        (["x" * 20 + "." + "y"], "[" + "x" * 20 + ".y]", "x" * 20 + ".y"),  # past one word
        ([1.0], "[1.0]", "[1.0]"), (["a", StrKeyLike("b.c")], "a.b.c", "a.b.c"),
        ([-5, 2**63], f"[-5][{2**63}]", f"[-5][{2**63}]"),
    ],
)
def test_render(keys, text, plain):
    p = KeyPath(keys)
    assert str(p) == p.path_str() == p.path_str(True) == text
    assert p.path_str(preserve_complex_keys=False) == plain


def test_rendering_errors_propagate_and_leave_the_cache_empty():
    class Flaky:
        fail = True

        def __str__(self):
            if Flaky.fail:
                raise RuntimeError("no text")
            return "ok"

    class Meta(type):
        def __getattr__(cls, name):
            raise LookupError(name)  # not an AttributeError: not "absent"

    p = KeyPath(["a", Flaky()])
    with pytest.raises(RuntimeError, match="no text"):
        str(p)
    with pytest.raises(RuntimeError):
        hash(p)
    Flaky.fail = False
    assert str(p) == "a[ok]"
    with pytest.raises(LookupError, match="__vesk_str_key__"):
        str(KeyPath(Meta("Odd", (), {})()))


def test_parse_arguments():
    assert P("c", P("a.b")).keys == ["a", "b", "c"]
    with pytest.raises(ValueError, match="'path_str' must be a string type. Encountered: 3"):
        P(3, P("a"))
    with pytest.raises(TypeError, match="parent"):
        P("a", "b")
    with pytest.raises(UnicodeEncodeError):
        P("a.\ud800")
    assert KeyPath.__vk_accept__("a[1]") == P("a[1]")
    assert KeyPath.__vk_accept__(1) is NotImplemented
    with pytest.raises(ValueError):
        KeyPath.__vk_accept__("a]")


@pytest.mark.parametrize(
    "value, keys",
    [("", []), ("12", ["12"]), ("a.b", ["a", "b"]), ("[3]", [3]), (3, [3]), (True, [True]),
     (1.5, ValueError), (None, ValueError), ([1], ValueError)],  # "12" is one name, never an int
)
def test_from_value(value, keys):
    if keys is ValueError:
        with pytest.raises(ValueError, match=r" is not a valid KeyPath equivalence\.$"):
            KeyPath.from_value(value)
    else:
        assert same_keys(KeyPath.from_value(value), keys)
    p = P("a")
    assert KeyPath.from_value(p) is p


def test_equality_with_text_and_paths():
    assert P("a.b") == "a.b" and "a.b" == P("a.b")
    assert KeyPath("a.b") != "a.b" and KeyPath("a.b") == "[a.b]"
    assert P("a[0]") == KeyPath(["a", 0])
    assert KeyPath("0") != KeyPath(0)
    assert (P("a") == 1) is False and (P("a") != 1) is True
    with pytest.raises(UnicodeEncodeError):
        P("a") == "\ud800"


@pytest.mark.parametrize(
    "a, b",
    [
        ([1.0], [1]), ([True], [1]), (["a", 2.0], ["a", 2]), ([StrKeyLike("a")], ["[a]"]),
    ],
)
def test_equal_under_python_eq_but_differently_rendered_keys_are_unequal(a, b):
    # Paths hash like their text, so equality must imply the same text.
    pa, pb = KeyPath(a), KeyPath(b)
    assert str(pa) != str(pb)
    assert pa != pb and not (pa == pb)
    assert len({pa, pb}) == 2


def test_equal_paths_hash_alike_and_probe_with_text():
    samples = [P("a.b"), P("a[0]"), KeyPath(["x.y", 3]), KeyPath([1.5]), KeyPath([StrKeyLike("q")])]
    for p in samples:
        q = copy.copy(p)
        assert p == q and hash(p) == hash(q) == hash(str(p))
    table = {p: i for i, p in enumerate(samples)}
    assert table["a.b"] == 0 and table["a[0]"] == 1 and table["[x.y][3]"] == 2


def test_other_key_equality_goes_through_the_interpreter():
    class Eq:
        def __eq__(self, other):
            if isinstance(other, Eq):
                return True
            raise ValueError("cannot compare")

        __hash__ = object.__hash__

        def __str__(self):
            return "e"

    assert KeyPath([Eq()]) == KeyPath([Eq()])
    with pytest.raises(ValueError, match="cannot compare"):
        KeyPath([Eq()]) == KeyPath(["e"])


@pytest.mark.parametrize(
    "a, op, b, expected",
    [
        (P("a"), "<", P("a.b"), True),
        (P("[10]"), "<", KeyPath("9"), True),  # mixed kinds order by text
        (KeyPath("1"), "<=", KeyPath(1), True), (KeyPath("1"), "<", KeyPath(1), False),
        (P("a.b"), ">", "a.a", True),
        (P("é"), ">", "z", True),  # code-point order
        (KeyPath([1.5]), "<", KeyPath([2]), True),
    ],
)
def test_ordering(a, op, b, expected):
    import operator
    assert {"<": operator.lt, "<=": operator.le, ">": operator.gt}[op](a, b) is expected


def test_ordering_errors():
    with pytest.raises(TypeError, match=r"between instances of 'KeyPath' and 'int'\.$"):
        P("a") < 1
    with pytest.raises(TypeError):  # None against a str through the interpreter
        KeyPath([None]) < KeyPath(["a"])


def test_addition():
    p = P("a")
    assert p + None is p
    assert str(p + "b.c") == "a.b.c"
    q = p + ""
    assert q == p and q is not p
    assert str(p + 1) == "a[1]"
    assert same_keys(p + True, ["a", True]) and str(p + True) == "a[True]"
    assert str(p + P("x[2]")) == "a.x[2]"
    assert (p + [1, 2]).keys == ["a", [1, 2]]
    with pytest.raises(ValueError, match="unmatched"):
        p + "x]"
    with pytest.raises(TypeError):
        "x" + p


def test_subtraction():
    p = P("a.b.c")
    assert p - None is p
    assert str(p - "a") == "b.c"
    assert str(p - P("a.b")) == "c"
    assert (p - p).is_root
    q = p - ""
    assert q == p and q is not p
    assert str(P("[1].x") - 1) == "x"
    assert str(KeyPath([True, "x"]) - True) == "x"
    with pytest.raises(TypeError):  # no reflected subtraction
        "a" - p


@pytest.mark.parametrize(
    "left, right, exc, message",
    [
        (P("a.b.c"), "a.x", ValueError,
         "KeyPath subtraction failed: left path a.b.c and right path a.x are in different subtree."),
        (KeyPath("x.y"), P("[x.y].z"), ValueError,
         "KeyPath subtraction failed: left path [x.y] is an ancestor of right path [x.y].z."),
        (KeyPath(1), "1", ValueError,
         "KeyPath subtraction failed: left path [1] and right path 1 are in different subtree."),
        (P("a.b.c"), 1.5, TypeError, "Cannot subtract KeyPath(a.b.c) by 1.5."),
    ],
)
def test_subtraction_errors(left, right, exc, message):
    with pytest.raises(exc) as info:
        left - right
    assert str(info.value) == message


def test_copy_and_deepcopy():
    class Becomes:
        def __deepcopy__(self, memo):
            return "plain"

        def __str__(self):
            return "b"

    inner = [1, 2]
    p = KeyPath(["a", 0, inner])
    c = copy.copy(p)
    assert c == p and c is not p and c.keys[2] is inner
    d = copy.deepcopy(p)
    assert d == p and d.keys[2] == inner and d.keys[2] is not inner
    # A deep copy that turns an object key into a str makes it a name key.
    assert copy.deepcopy(KeyPath(["a", Becomes()])) == P("a.plain")


@pytest.mark.parametrize("keys", [[], ["a", 0, "b"], ["x.y", -3, 2**70, 1.5, None, (1, 2)]])
def test_pickle_round_trip(keys):
    p = KeyPath(keys)
    cls, args = p.__reduce__()
    assert cls is vesk_core.KeyPath and args == (keys,)
    q = pickle.loads(pickle.dumps(p))
    assert q == p and q.keys == keys


@pytest.mark.parametrize("other, expected", [("a", True), ("a.b", True), ("", True),
                                             (P("a"), True), ("b", False), ("a.b.c", False)])
def test_is_relative_to(other, expected):
    assert P("a.b").is_relative_to(other) is expected


def test_freeing_paths_nested_in_keys_does_not_exhaust_the_stack():
    # Each path holds the previous one as a key; freeing the outermost one
    # must not recurse once per level, on the main thread or another one.
    run_fresh(
        """
        import threading
        from vesk_core._native import KeyPath

        def chain():
            p = KeyPath()
            for i in range(200_000):
                p = KeyPath([p]) if i % 3 else KeyPath(p, KeyPath("x"))
            return p

        p = chain()
        del p
        t = threading.Thread(target=lambda: chain())
        t.start()
        t.join()
        """
    )


def test_no_reference_leaks():
    obj = object()

    def body():
        p = KeyPath(["a", 1, obj, "b.c"], P("r"))
        str(p), hash(p), p.keys, p.parent, p + "x.y", p - "r", copy.deepcopy(p)
        P("a[12345678901234567890].b") == p
        try:
            P("a[")
        except ValueError:
            pass

    assert_no_leak(body)
