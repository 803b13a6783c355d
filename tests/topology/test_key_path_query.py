import threading

import pytest

from races import started
from vesk_core._native import KeyPath

P = KeyPath.parse


class Sym:

    def __init__(self, fields, inferred=None):
        self.fields = fields
        self.inferred = inferred or {}
        self.calls = []

    def sym_hasattr(self, key):
        self.calls.append(("has", key))
        return key in self.fields

    def sym_getattr(self, key):
        self.calls.append(("get", key))
        return self.fields[key]

    def sym_inferred(self, key):
        self.calls.append(("inferred", key))
        return self.inferred[key]


class SymDict(dict):
    def sym_hasattr(self, key):
        return key == "visible"

    def sym_getattr(self, key):
        return "through protocol"


class GetItemOnly:
    def __getitem__(self, key):
        return key


class Mapping:
    def __init__(self, data):
        self.data = data

    def __getitem__(self, key):
        return self.data[key]

    def __len__(self):
        return len(self.data)

    def __contains__(self, key):
        return key in self.data


class Unsized(GetItemOnly):
    def __contains__(self, key):
        return True


TREE = {"a": [0, {"b": 5}], "x": 5, 3: "three", "t": (10, 20)}


@pytest.mark.parametrize(
    "path, expected",
    [
        (P("a[1].b"), 5), (P("a[0]"), 0), (P("a[-1].b"), 5), (P("t[1]"), 20),
        (KeyPath(["a", True, "b"]), 5),  # a bool key indexes like 1
        (P("[3]"), "three"),  # an int key on a dict: below its length, then item access
    ],
)
def test_query_plain_values(path, expected):
    assert path.query(TREE) == expected
    assert path.get(TREE) == expected and path.exists(TREE) is True
    value = object()
    assert KeyPath().query(value) is value and KeyPath().exists(value) is True


@pytest.mark.parametrize(
    "path, src, message",
    [
        (P("[3]"), [1, 2, 3], "Path [3] does not exist: key 3 is absent from innermost value [1, 2, 3]."),
        (P("a.c"), {"a": {"b": 1}}, "Path a.c does not exist: key 'c' is absent from innermost value {'b': 1}."),
        (P("[5]"), {5: "x"}, "Path [5] does not exist: key 5 is absent from innermost value {5: 'x'}."),
        (P("0"), ["only"], "Path 0 does not exist: key '0' is absent from innermost value ['only']."),
        (P("x.a"), {"x": 5}, "Cannot query sub-key 'a' of object (5): '__getitem__' does not exist. (path=x)"),
        (P("[1]"), GetItemOnly(), "Cannot query index (1) on object ({!r}): '__len__' does not exist."),
        (P("k"), GetItemOnly(), "Cannot query key ('k') on object ({!r}): '__contains__' does not exist."),
    ],
)
def test_query_failures_are_key_errors_with_their_messages(path, src, message):
    with pytest.raises(KeyError) as info:
        path.query(src)
    assert info.value.args[0] == message.replace("{!r}", repr(src))
    sentinel = object()
    assert path.get(src, sentinel) is sentinel
    assert path.get(src) is None
    assert path.exists(src) is False


def test_generic_containers_through_item_access():
    assert P("[1]").query(Mapping([7, 8])) == 8 and P("y").query(Mapping({"y": 1})) == 1
    # An integer key must be below the mapping's length even when present.
    with pytest.raises(KeyError, match="absent"):
        P("[9]").query(Mapping({9: "nine"}))
    # A key without __len__ but with __contains__ goes through containment.
    assert P("anything").query(Unsized()) == "anything"


class BrokenHook:
    def sym_hasattr(self, key):
        raise RuntimeError("broken hook")


class BadRepr(Mapping):
    def __repr__(self):
        raise ValueError("no repr")


@pytest.mark.parametrize(
    "path, src, exc",
    [
        (P("[-4]"), [1, 2, 3], IndexError),  # too negative: the list's own error
        (P("a"), "abc", TypeError),  # containment passes, indexing a str by str fails
        (KeyPath([[1]]), {}, TypeError),  # unhashable key
        (P("a"), BrokenHook(), RuntimeError),
        (P("missing"), BadRepr({}), ValueError),  # replaces the absent-key error
    ],
)
def test_other_errors_propagate_through_get_and_exists(path, src, exc):
    for call in (lambda: path.query(src), lambda: path.get(src, 0), lambda: path.exists(src)):
        with pytest.raises(exc):
            call()


def test_symbolic_values_are_asked_through_their_protocol():
    leaf = Sym({"b": "plain"}, {"b": "inferred"})
    root = Sym({"a": leaf}, {"a": leaf})
    assert P("a.b").query(root) == "plain"
    assert leaf.calls == [("has", "b"), ("get", "b")]
    leaf.calls.clear()
    assert P("a.b").query(root, use_inferred=True) == "inferred"
    assert leaf.calls == [("has", "b"), ("inferred", "b")]
    # the inferred lookup is only for symbolic values; exists never uses it
    assert P("a.b").exists(root) is True
    assert leaf.calls[-1] == ("get", "b")
    # an absent key calls no getter
    s = Sym({})
    src = {"q": [0, 1, s]}
    with pytest.raises(KeyError, match=r"^'Path q\[2\]\[7\] does not exist: key 7 is absent"):
        P("q[2][7]").query(src)
    assert s.calls == [("has", 7)]
    assert P("q[2][7]").get(src, use_inferred=True, default_value=1) == 1
    assert s.calls == [("has", 7)] * 2
    with pytest.raises(TypeError):  # only True or False
        P("a").query({}, use_inferred=1)


def test_subclasses_of_dict_and_list_take_the_symbolic_road():
    d = SymDict(hidden=1, visible=2)
    assert P("visible").query(d) == "through protocol"
    with pytest.raises(KeyError, match="absent"):
        P("hidden").query(d)


def test_very_deep_paths_walk_without_native_recursion():
    depth = 300_000
    value = leaf = []
    for _ in range(depth):
        inner = []
        leaf.append(inner)
        leaf = inner
    leaf.append("bottom")
    path = P("[0]" * depth + "[0]")
    assert path.depth == depth + 1
    assert path.query(value) == "bottom"
    assert path.exists(value)
    assert not P("[0]" * (depth + 1) + "[9]").exists(value)  # "bottom"[9]


def test_threads_sharing_fresh_paths_agree():
    # The path text and the key tuple are filled on first use by whichever
    # thread gets there first; racing fillers must agree.
    paths = [KeyPath(["a", 1, "b", i]) for i in range(300)]
    tree = {"a": [0, {"b": list(range(300))}]}
    barrier = threading.Barrier(4)
    results = [None] * 4

    def work(i):
        barrier.wait()
        results[i] = [(str(p), hash(p), p.query(tree), p.get({}, -1)) for p in paths]

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    with started(threads, barrier):
        pass
    assert results[0] is not None and all(r == results[0] for r in results)
    assert results[0][7] == ("a[1].b[7]", hash("a[1].b[7]"), 7, -1)


def test_a_list_shrinking_under_the_walk_gives_not_found():
    # The list always holds 0..n-1 for a changing n: a position is found with
    # its own value, or is absent; never the list's IndexError.
    lst = list(range(8))
    stop = threading.Event()

    def churn():
        while not stop.is_set():
            while len(lst) > 0:
                lst.pop()
            while len(lst) < 8:
                lst.append(len(lst))

    def query(outcomes):
        for n in range(20_000):
            i = n % 8
            try:
                outcomes.append(P(f"[{i}]").query(lst) == i)
            except KeyError:
                outcomes.append(True)

    churner = threading.Thread(target=churn)
    outcomes = [[] for _ in range(3)]
    readers = [threading.Thread(target=query, args=(o,)) for o in outcomes]
    with started([churner, *readers], stop):
        for t in readers:
            t.join()
        stop.set()
    assert [len(o) for o in outcomes] == [20_000] * 3 and all(map(all, outcomes))


