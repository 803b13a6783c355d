import copy
import operator

import pytest
from hypothesis import example, given, settings, strategies as st

import vesk_core._native as native

KeyPath = native.KeyPath
KeyPathSet = native.KeyPathSet


def texts(s):
    return [str(p) for p in s]


@pytest.mark.parametrize("empty", [None, [], 0, ""])
def test_falsy_sources_give_an_empty_set(empty):
    s = KeyPathSet(empty)
    assert not s and s._trie == {} and list(s) == [] and repr(s) == "KeyPathSet()"


@pytest.mark.parametrize(
    "source, members",
    [(iter(["a.b", "c[0]"]), ["a.b", "c[0]"]), ({"a.b": 1}, ["a.b"]),
     ("ab", ["a", "b"])],  # a str is iterated character by character
)
def test_any_iterable_of_path_likes_builds_a_set(source, members):
    assert texts(KeyPathSet(source)) == members


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet="ab$.[]-07\u0663", max_size=12))
@example("a[-0].b[007]c")
@example("a[--7]")
@example("a[-].$")
@example("x[123456789012345678]")
@example("x[1234567890123456789]")
@example("x[-99999999999999999999]")
@example(".".join("k" * 17))
def test_path_texts_act_like_their_parsed_paths(text):
    # Texts are scanned straight into trie keys: keys and errors must match the parsed path.

    def outcome(call):
        try:
            return True, repr(call())
        except ValueError as e:
            return False, str(e)

    parsed = outcome(lambda: KeyPath.from_value(text))
    if not parsed[0]:  # a parse error, raised by every use
        for use in (lambda s: text in s, lambda s: s.add(text), lambda s: s.has_prefix(text)):
            assert outcome(lambda: use(KeyPathSet())) == parsed
        return
    path = KeyPath.from_value(text)
    by_text, by_path = KeyPathSet(["q"]), KeyPathSet(["q"])
    assert outcome(lambda: by_text.add(text)) == outcome(lambda: by_path.add(path))
    assert repr(by_text._trie) == repr(by_path._trie)
    for query in (lambda s, p: p in s, lambda s, p: s.has_prefix(p),
                  lambda s, p: s.subtree(p), lambda s, p: s.remove(p)):
        assert outcome(lambda: query(by_path, text)) == outcome(lambda: query(by_text, path))


def test_from_value():
    s = KeyPathSet(["a"])
    assert KeyPathSet.from_value(s, include_intermediate=True) is s
    for source in (["a.b"], ("a.b",), {"a.b"}):
        built = KeyPathSet.from_value(source, include_intermediate=True)
        assert texts(built) == ["a.b", "a", ""]  # markers follow the new child
    for bad in (frozenset(["a"]), {"a": 1}, "a", None, (x for x in "a")):
        with pytest.raises(ValueError, match=r"^Cannot convert .* to KeyPathSet\. Expected a list"):
            KeyPathSet.from_value(bad)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda s: KeyPathSet(["a", 1.5]), ValueError),
        (lambda s: 1.5 in s, ValueError),  # raises rather than answering False
        (lambda s: KeyPathSet(1.5), TypeError),  # truthy, not iterable
        (lambda s: s + ["a"], TypeError), (lambda s: hash(s), TypeError),
    ],
)
def test_argument_errors(call, error):
    with pytest.raises(error):
        call(KeyPathSet(["a"]))


def test_add_and_remove_report_changes_and_prune():
    s = KeyPathSet(["x.y", "a"])
    assert s.add("a.b.c") is True and s.add(KeyPath(["a", "b", "c"])) is False
    assert s.remove("a.b") is False  # only an intermediate node
    assert s.remove("a.b.c") is True
    assert s._trie == {"x": {"y": {"$": True}}, "a": {"$": True}}
    assert "x[0]" not in KeyPathSet(["x.0"])  # integer and text keys stay apart
    s._trie["n"] = 5
    with pytest.raises(TypeError, match="'int' object cannot be converted to 'dict'"):
        "n.c" in s


@pytest.mark.parametrize(
    "existing, added, members",
    [
        ([], "a.b.c", ["a.b.c", "a.b", "a", ""]),
        (["a.b"], "a.b.c", ["a.b", "a.b.c"]), (["a.x"], "a.b", ["a.x", "a.b", "a"]), ([], "", [""]),
    ],
)
def test_include_intermediate_marks_only_nodes_that_gain_a_child(existing, added, members):
    s = KeyPathSet(existing)
    assert s.add(added, include_intermediate=True) is True
    assert texts(s) == members


@pytest.mark.parametrize(
    "added",
    [["a", "a.b"], ["a.b", "a"], ["b", "a.y", "a.x", "c[1]"], [KeyPath(["a", 1, (2, 3)])]],
)
def test_iteration_is_depth_first_in_insertion_order(added):
    s = KeyPathSet()
    for p in added:
        s.add(p)
    members = list(s)
    assert members == [KeyPath.from_value(p) for p in added]
    assert all(type(p) is KeyPath for p in members)


def test_iteration_is_a_snapshot():
    s = KeyPathSet(["a", "b"])
    assert [(str(p), s.add("c"), s.remove("b"))[0] for p in s] == ["a", "b"]


def test_union_in_place_and_copying_share_no_node():
    left, right = KeyPathSet(["a"]), KeyPathSet(["b.c"])
    for result in (left.union(right, copy=True), left + right, left.union(right)):
        result._trie["b"]["d"] = {"$": True}
    assert texts(left) == ["a", "b.c", "b.d"] and texts(right) == ["b.c"]
    assert left.union(right) is left


class ForeignKey:
    def __eq__(self, other):
        return type(other) is ForeignKey

    def __hash__(self):
        return 1


DUPLICATES = [
    lambda s: s.copy(), copy.deepcopy, lambda s: s.difference(KeyPathSet()),
    lambda s: s.intersection(s), lambda s: s + KeyPathSet(), lambda s: KeyPathSet().union(s),
    lambda s: KeyPath() + s,
]


@pytest.mark.parametrize("duplicate", DUPLICATES)
def test_copies_share_no_node_and_copy_foreign_keys(duplicate):
    key = ForeignKey()
    s = KeyPathSet([KeyPath(["a", key]), KeyPath([1]), KeyPath([True]),
                    KeyPath(["t", (1, "x")]), KeyPath(["t", ()])])
    assert len(s._trie) == 3  # 1 and True share one slot
    dup = duplicate(s)
    assert dup == s and dup is not s and dup._trie["a"] is not s._trie["a"]
    (copied_key,) = dup._trie["a"]
    assert copied_key is not key
    # Tuple keys are copied as whole keys, not spread into arguments.
    assert list(dup._trie["t"]) == [(1, "x"), ()]
    dup.add("z")
    assert "z" not in s


@pytest.mark.parametrize("duplicate", DUPLICATES)
def test_copies_leave_out_nodes_without_members(duplicate):
    # Emptied through a view that shares it, "a" holds no member; the marker
    # of "c" is one by its key, whatever it maps to.
    s = KeyPathSet(["a.b", "c.d", "e"])
    s.subtree("a").remove("b")
    s._trie["c"]["$"] = {}
    dup = duplicate(s)
    assert dup._trie == {"c": {"$": {}, "d": {"$": True}}, "e": {"$": True}}
    assert not dup.has_prefix("a") and sorted(texts(dup)) == ["c", "c.d", "e"]


def test_equality_compares_tries():
    assert KeyPathSet(["a", "b"]) == KeyPathSet(["b", "a"]) != KeyPathSet(["a"])
    assert (KeyPathSet() == []) is False and (KeyPathSet() != 1) is True


def test_subtree_shares_its_node():
    s = KeyPathSet(["a.b", "a"])
    assert s.subtree("") is s and s.subtree("x") is None
    sub = s.subtree("a")
    assert sub._trie is s._trie["a"] and texts(sub) == ["b", ""]
    sub.add("c")
    assert "a.c" in s
    for p in list(sub):
        sub.remove(p)
    assert s._trie == {"a": {}} and s and list(s) == []


def test_rebase_moves_the_trie_under_a_prefix():
    s = KeyPathSet(["x"])
    root = s._trie
    assert s.rebase("p.q") is None
    assert s._trie == {"p": {"q": {"x": {"$": True}}}} and s._trie["p"]["q"] is root
    assert "p" not in s and "p.q" not in s
    empty = KeyPathSet()
    empty.rebase("x")
    assert empty._trie == {"x": {}} and empty and list(empty) == [] and empty != KeyPathSet()


def test_key_path_plus_set():
    s = KeyPathSet(["x", "y[0]"])
    moved = KeyPath.parse("p[1]") + s
    assert type(moved) is KeyPathSet and texts(moved) == ["p[1].x", "p[1].y[0]"]
    moved._trie["p"][1]["x"]["z"] = {"$": True}
    assert texts(s) == ["x", "y[0]"]
    assert (KeyPath() + s) == s and (KeyPath() + s) is not s


KEYS = st.sampled_from(["a", "b", "c", 0, 1])
PATHS = st.lists(KEYS, max_size=3).map(KeyPath)
PATH_LISTS = st.lists(PATHS, max_size=8)


def oracle(paths):
    return {str(p) for p in paths}


@settings(max_examples=200, deadline=None)
@given(PATH_LISTS, PATH_LISTS)
def test_algebra_matches_a_set_of_path_texts(xs, ys):
    a, b = KeyPathSet(xs), KeyPathSet(ys)
    oa, ob = oracle(xs), oracle(ys)
    assert sorted(texts(a)) == sorted(oa)
    assert set(texts(a.union(b, copy=True))) == set(texts(a + b)) == oa | ob
    assert set(texts(a.difference(b))) == oa - ob
    assert set(texts(a.intersection(b))) == oa & ob
    assert all((p in a) == (str(p) in oa) for p in xs + ys)
    assert set(texts(a)) == oa and set(texts(b)) == ob  # operands unchanged
    # In-place forms agree, and pruning leaves no empty node behind, so the
    # result equals a set built from its members alone.
    for method, expected in (
        ("difference_update", oa - ob),
        ("intersection_update", oa & ob),
        ("update", oa | ob),
    ):
        c = a.copy()
        assert getattr(c, method)(b) is None
        assert c == KeyPathSet([KeyPath.parse(t) for t in expected])


def keys_of(paths):
    return {tuple(p.keys) for p in paths}


def view_of(members, prefix):
    """The members of `subtree(prefix)` of a set holding `members` (keys)."""
    return {m[len(prefix):] for m in members if m[:len(prefix)] == prefix}


# Every form of the set algebra: the call, the set operation it makes, and
# whether the receiver holds the result.
ALGEBRA = {
    "update": (lambda s, o: s.update(o), operator.or_, True),
    "union": (lambda s, o: s.union(o), operator.or_, True),
    "difference_update": (lambda s, o: s.difference_update(o), operator.sub, True),
    "intersection_update": (lambda s, o: s.intersection_update(o), operator.and_, True),
    "union copy": (lambda s, o: s.union(o, copy=True), operator.or_, False),
    "+": (lambda s, o: s + o, operator.or_, False),
    "difference": (lambda s, o: s.difference(o), operator.sub, False),
    "intersection": (lambda s, o: s.intersection(o), operator.and_, False),
}


# The receiver and the other set, each the view of one set at a prefix: the
# other set inside the receiver, around it, or both inside a third.
@pytest.mark.parametrize("mine, theirs", [((), ("a",)), (("a",), ()), (("a",), ("a", "a")),
                                          (("a", "a"), ("a",)), (("b",), ())], ids=str)
@settings(max_examples=100, deadline=None)
@given(PATH_LISTS)
@example([KeyPath.parse("a.a")])
@example([KeyPath.parse("a.a.a"), KeyPath.parse("a.a.b")])
@example([KeyPath.parse(t) for t in ("a", "a.a.0", "a.a.a", "a.b")])
@example([KeyPath.parse(t) for t in ("b.a", "a.a", "b.0", "b")])
@example([KeyPath.parse("a"), KeyPath.parse("b")])
def test_algebra_with_a_set_sharing_nodes_reads_it_as_it_was(mine, theirs, xs):
    whole = keys_of(xs)
    for call, combine, in_place in ALGEBRA.values():
        s = KeyPathSet(xs)
        receiver, other = s.subtree(KeyPath(list(mine))), s.subtree(KeyPath(list(theirs)))
        if receiver is None or other is None:
            return
        expected = combine(view_of(whole, mine), view_of(whole, theirs))
        result = call(receiver, other)
        got = receiver if in_place else result
        assert result is None or result is got  # in place: the receiver, changed
        assert keys_of(got) == expected
        assert got == KeyPathSet([KeyPath(list(k)) for k in expected])  # no empty node
        if not in_place:
            assert keys_of(s) == whole


@settings(max_examples=100, deadline=None)
@given(PATH_LISTS, PATHS)
def test_prefix_queries_and_removal_match_the_oracle(xs, prefix):
    s = KeyPathSet(xs)
    n = len(prefix)
    below = [p for p in xs if p.keys[:n] == prefix.keys and len(p) >= n]
    assert s.has_prefix(prefix) == bool(below or n == 0)
    sub = s.subtree(prefix)
    assert (sub is None) == (not below and n > 0)
    if sub is not None:
        assert {str(prefix + p) for p in sub} == oracle(below)
    for p in xs:
        s.remove(p)
        assert p not in s
    assert s._trie == {}


@pytest.mark.parametrize(
    "render, expected",
    [
        (repr, "KeyPathSet([a.b, c[0]])"),
        (str, "KeyPathSet(\n  [a.b, c[0]]\n)"),
        (lambda s: s.format(1, "ignored", compact=True), "KeyPathSet([a.b, c[0]])"),
        (lambda s: s.format(compact=False, verbose=True, root_indent=1),
         "KeyPathSet(\n    [a.b, c[0]]\n  )"),
        (lambda s: native.format([s], compact=True), "[KeyPathSet([a.b, c[0]])]"),
    ],
)
def test_text_forms(render, expected):
    assert render(KeyPathSet(["a.b", "c[0]"])) == expected


def test_long_member_lists_wrap_and_label_is_fixed():
    paths = [f"field{i}.value" for i in range(12)]
    lines = str(KeyPathSet(paths)).splitlines()
    assert lines == ["KeyPathSet(", "  ["] + [f"    {p}," for p in paths[:-1]] + [
        f"    {paths[-1]}", "  ]", ")"]
    assert str(KeyPathSet()) == "KeyPathSet()"
    with pytest.raises(TypeError, match="multiple values for keyword argument 'label'"):
        KeyPathSet(["a"]).format(label="Other")
