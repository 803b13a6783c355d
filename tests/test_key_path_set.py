import copy
import threading

import pytest
from hypothesis import given, settings, strategies as st

import vesk_core._native as native

KeyPath = native.KeyPath
KeyPathSet = native.KeyPathSet


def texts(s):
    """The member paths of a set as path texts, in iteration order."""
    return [str(p) for p in s]


# --- construction and conversion -------------------------------------------


@pytest.mark.parametrize("empty", [None, [], (), set(), 0, False, ""])
def test_falsy_sources_give_an_empty_set(empty):
    s = KeyPathSet(empty)
    assert not s and s._trie == {} and list(s) == []
    assert KeyPathSet() == s


@pytest.mark.parametrize(
    "source",
    [
        ["a.b", "c[0]"],
        ("a.b", "c[0]"),
        [KeyPath(["a", "b"]), KeyPath(["c", 0])],
        iter(["a.b", "c[0]"]),
        {"a.b": 1, "c[0]": 2},
    ],
)
def test_any_iterable_of_path_likes_builds_a_set(source):
    assert sorted(texts(KeyPathSet(source))) == ["a.b", "c[0]"]


def test_str_source_is_iterated_character_by_character():
    assert texts(KeyPathSet("ab")) == ["a", "b"]


def test_trie_shape_is_nested_dicts_with_end_markers():
    s = KeyPathSet(["a.b", "a[0]"])
    assert s._trie == {"a": {"b": {"$": True}, 0: {"$": True}}}
    assert s._trie is s._trie  # the live root, not a copy
    s._trie["z"] = {"$": True}
    assert "z" in s


@pytest.mark.parametrize("bad", [1.5, None, object()])
def test_unconvertible_items_fail_construction(bad):
    with pytest.raises(ValueError, match="is not a valid KeyPath equivalence"):
        KeyPathSet(["a", bad])


def test_non_iterable_truthy_source_is_a_type_error():
    with pytest.raises(TypeError):
        KeyPathSet(1.5)


def test_from_value():
    s = KeyPathSet(["a"])
    assert KeyPathSet.from_value(s) is s
    assert KeyPathSet.from_value(s, include_intermediate=True) is s
    for source in (["a.b"], ("a.b",), {"a.b"}):
        built = KeyPathSet.from_value(source, include_intermediate=True)
        assert texts(built) == ["a.b", "a", ""]  # markers follow the new child
    for bad in (frozenset(["a"]), {"a": 1}, "a", None, (x for x in "a")):
        with pytest.raises(ValueError, match=r"^Cannot convert .* to KeyPathSet\. Expected a list"):
            KeyPathSet.from_value(bad)


@pytest.mark.parametrize(
    "call",
    [
        lambda s: KeyPathSet(["a"], True),
        lambda s: KeyPathSet(["a"], include_intermediate=1),
        lambda s: KeyPathSet(paths=[], bogus=1),
        lambda s: s.add("a", include_intermediate=None),
        lambda s: s.union(s, copy=1),
        lambda s: s.update(["a"]),
        lambda s: s.difference({"a"}),
        lambda s: s.intersection(None),
        lambda s: s.__deepcopy__(),
        lambda s: s.remove(),
        lambda s: KeyPathSet.from_value(["a"], 1),
    ],
)
def test_argument_errors(call):
    with pytest.raises(TypeError):
        call(KeyPathSet(["a"]))


# --- membership, insertion, removal, prefixes ------------------------------


def test_add_and_remove_report_changes():
    s = KeyPathSet()
    assert s.add("a.b") is True
    before = copy.deepcopy(s._trie)
    assert s.add(KeyPath(["a", "b"])) is False
    assert s._trie == before
    assert s.remove("a") is False  # only an intermediate node
    assert s.remove("a.b") is True
    assert s.remove("a.b") is False
    assert s._trie == {} and not s


@pytest.mark.parametrize(
    "existing, added, members",
    [
        ([], "a.b.c", ["", "a", "a.b", "a.b.c"]),
        (["a.b"], "a.b.c", ["a.b", "a.b.c"]),
        (["a.x"], "a.b", ["a.x", "a", "a.b"]),
        ([], "", [""]),
        ([], "a", ["", "a"]),
    ],
)
def test_include_intermediate_marks_only_nodes_that_gain_a_child(existing, added, members):
    s = KeyPathSet(existing)
    assert s.add(added, include_intermediate=True) is True
    assert sorted(texts(s)) == sorted(members)


def test_removal_prunes_up_to_the_first_node_still_in_use():
    s = KeyPathSet(["a", "a.b.c.d", "x.y"])
    assert s.remove("a.b.c.d") is True
    assert s._trie == {"a": {"$": True}, "x": {"y": {"$": True}}}
    s.add("a.b")
    s.remove("a")
    s.remove("x.y")
    assert s._trie == {"a": {"b": {"$": True}}}


def test_root_path_membership():
    s = KeyPathSet([""])
    assert s and KeyPath() in s and "" in s
    assert [p.is_root for p in s] == [True]


def test_prefix_and_membership_differ_for_intermediate_nodes():
    s = KeyPathSet(["a.b"])
    assert "a" not in s and s.has_prefix("a") and s.has_prefix("a.b")
    assert not s.has_prefix("a.b.c") and not s.has_prefix("b")
    assert KeyPathSet().has_prefix("") is True
    with pytest.raises(ValueError):
        1.5 in s


def test_string_and_integer_keys_stay_distinct():
    s = KeyPathSet(["a[0]"])
    assert "a[0]" in s and KeyPath(["a", 0]) in s
    assert "a.0" not in s and KeyPath(["a", "0"]) not in s


def test_non_dict_inside_the_trie_is_a_type_error():
    s = KeyPathSet(["a"])
    s._trie["b"] = 5
    with pytest.raises(TypeError, match="'int' object cannot be converted to 'dict'"):
        "b.c" in s
    with pytest.raises(TypeError):
        list(s)


# --- iteration --------------------------------------------------------------


@pytest.mark.parametrize(
    "added, order",
    [
        (["a", "a.b"], ["a", "a.b"]),
        (["a.b", "a"], ["a.b", "a"]),
        (["b", "a.y", "a.x", "c[1]"], ["b", "a.y", "a.x", "c[1]"]),
    ],
)
def test_iteration_is_depth_first_in_insertion_order(added, order):
    s = KeyPathSet()
    for p in added:
        s.add(p)
    assert texts(s) == order
    assert all(type(p) is KeyPath for p in s)


def test_iteration_is_a_snapshot():
    s = KeyPathSet(["a", "b"])
    seen = []
    for p in s:
        seen.append(str(p))
        s.add("c")
        s.remove("b")
    assert seen == ["a", "b"]


def test_iterated_keys_keep_their_kind():
    s = KeyPathSet([KeyPath(["a", 1, (2, 3)])])
    (path,) = s
    assert path.keys == ["a", 1, (2, 3)]


# --- set algebra: fixed examples ---------------------------------------------


def test_difference_and_intersection_prune_and_keep_ancestor_markers():
    ab = KeyPathSet(["a", "a.b"])
    a = KeyPathSet(["a"])
    assert ab.difference(a)._trie == {"a": {"b": {"$": True}}}
    assert ab.intersection(a)._trie == {"a": {"$": True}}
    assert a.intersection(KeyPathSet(["a.b"]))._trie == {}
    assert ab.difference(ab)._trie == {}


def test_merge_puts_the_source_marker_in_place():
    s = KeyPathSet(["a"])
    s.update(KeyPathSet(["a.b"]))
    assert s._trie == {"a": {"$": True, "b": {"$": True}}}
    assert texts(s) == ["a", "a.b"]


def test_union_in_place_and_copying():
    left, right = KeyPathSet(["a"]), KeyPathSet(["b.c"])
    copied = left.union(right, copy=True)
    added = left + right
    assert texts(copied) == texts(added) == ["a", "b.c"]
    assert texts(left) == ["a"] and texts(right) == ["b.c"]
    # Neither result shares a node with an operand.
    copied._trie["b"]["d"] = {"$": True}
    added._trie["b"]["e"] = {"$": True}
    assert texts(right) == ["b.c"]
    assert left.union(right) is left and texts(left) == ["a", "b.c"]
    left.add("b.z")
    assert texts(right) == ["b.c"]


def test_in_place_forms_return_none():
    s = KeyPathSet(["a", "b"])
    assert s.update(KeyPathSet(["c"])) is None
    assert s.difference_update(KeyPathSet(["a"])) is None
    assert s.intersection_update(KeyPathSet(["b"])) is None
    assert texts(s) == ["b"]
    assert s.clear() is None and not s


def test_copies_share_no_node():
    class Key:
        def __eq__(self, other):
            return type(other) is Key

        def __hash__(self):
            return 1

    key = Key()
    s = KeyPathSet([KeyPath(["a", key])])
    for dup in (s.copy(), copy.copy(s), copy.deepcopy(s)):
        assert dup == s.copy() and dup is not s
        assert dup._trie["a"] is not s._trie["a"]
        (copied_key,) = dup._trie["a"]
        assert copied_key is not key  # foreign keys are deep-copied
        dup.add("z")
        assert "z" not in s


def test_equal_one_and_true_share_a_slot():
    s = KeyPathSet([KeyPath([1]), KeyPath([True])])
    assert len(s._trie) == 1


def test_equality_compares_tries():
    assert KeyPathSet(["a", "b"]) == KeyPathSet(["b", "a"])
    assert KeyPathSet(["a"]) != KeyPathSet(["b"])
    assert (KeyPathSet() == []) is False and (KeyPathSet() != 1) is True
    with pytest.raises(TypeError):
        KeyPathSet() < KeyPathSet()
    with pytest.raises(TypeError):
        hash(KeyPathSet())
    assert KeyPathSet.__hash__ is None


def test_plus_with_other_types_is_unsupported():
    with pytest.raises(TypeError):
        KeyPathSet() + ["a"]
    with pytest.raises(TypeError):
        ["a"] + KeyPathSet()


# --- sub-trees and rebasing -------------------------------------------------


def test_subtree_shares_its_node():
    s = KeyPathSet(["a.b", "a"])
    assert s.subtree("") is s and s.subtree(KeyPath()) is s
    assert s.subtree("x") is None
    sub = s.subtree("a")
    assert sub._trie is s._trie["a"]
    assert texts(sub) == ["b", ""]
    sub.add("c")
    assert "a.c" in s
    for p in list(sub):
        sub.remove(p)
    assert s._trie == {"a": {}} and s and list(s) == []


def test_rebase_moves_the_trie_under_a_prefix():
    s = KeyPathSet(["x"])
    root = s._trie
    assert s.rebase("p.q") is None
    assert s._trie == {"p": {"q": {"x": {"$": True}}}}
    assert s._trie["p"]["q"] is root  # moved, not copied
    assert "p" not in s and "p.q" not in s and "p.q.x" in s
    s.rebase("")
    assert texts(s) == ["p.q.x"]


def test_rebasing_an_empty_set_leaves_an_empty_node():
    s = KeyPathSet()
    s.rebase("x")
    assert s._trie == {"x": {}} and s and list(s) == [] and s != KeyPathSet()


def test_key_path_plus_set():
    s = KeyPathSet(["x", "y[0]"])
    moved = KeyPath.parse("p[1]") + s
    assert type(moved) is KeyPathSet
    assert texts(moved) == ["p[1].x", "p[1].y[0]"]
    assert texts(s) == ["x", "y[0]"]
    moved._trie["p"][1]["x"]["z"] = {"$": True}
    assert texts(s) == ["x", "y[0]"]
    assert texts(KeyPath() + s) == texts(s)


# --- set algebra laws against an oracle --------------------------------------

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
    assert set(texts(a)) == oa and len(texts(a)) == len(oa)
    assert set(texts(a.union(b, copy=True))) == oa | ob
    assert set(texts(a + b)) == oa | ob
    assert set(texts(a.difference(b))) == oa - ob
    assert set(texts(a.intersection(b))) == oa & ob
    for p in xs + ys:
        assert (p in a) == (str(p) in oa)
    # Copying forms leave their operands alone.
    assert set(texts(a)) == oa and set(texts(b)) == ob
    # In-place forms agree with the copying ones, and pruning leaves no
    # empty node behind (so equality is by members).
    for method, expected in (
        ("difference_update", oa - ob),
        ("intersection_update", oa & ob),
        ("update", oa | ob),
    ):
        c = a.copy()
        getattr(c, method)(b)
        assert set(texts(c)) == expected
        assert c == KeyPathSet([KeyPath.parse(t) for t in expected] if expected else [])


@settings(max_examples=100, deadline=None)
@given(PATH_LISTS, PATH_LISTS)
def test_removing_paths_one_by_one_empties_the_trie(xs, ys):
    s = KeyPathSet(xs + ys)
    for p in xs + ys:
        s.remove(p)
        assert p not in s
    assert s._trie == {}


@settings(max_examples=100, deadline=None)
@given(PATH_LISTS, PATHS)
def test_prefix_query_matches_the_oracle(xs, prefix):
    s = KeyPathSet(xs)
    n = len(prefix)
    expected = any(len(p) >= n and p.keys[:n] == prefix.keys for p in xs)
    assert s.has_prefix(prefix) == (expected or n == 0)
    sub = s.subtree(prefix)
    if sub is not None:
        assert oracle(prefix + p for p in sub) == {t for t in oracle(xs) if any(
            len(p) >= n and p.keys[:n] == prefix.keys and str(p) == t for p in xs)}


# --- text form ----------------------------------------------------------------


@pytest.mark.parametrize(
    "render, expected",
    [
        (repr, "KeyPathSet([a.b, c[0]])"),
        (str, "KeyPathSet(\n  [a.b, c[0]]\n)"),
        (lambda s: s.format(), "KeyPathSet([a.b, c[0]])"),
        (lambda s: s.format(1, "ignored", compact=True), "KeyPathSet([a.b, c[0]])"),
        (lambda s: s.format(compact=False, verbose=True, root_indent=1),
         "KeyPathSet(\n    [a.b, c[0]]\n  )"),
        (lambda s: s.format(bracket_type=1), "KeyPathSet[[a.b, c[0]]]"),
        (native.format, "KeyPathSet(\n  [a.b, c[0]]\n)"),
        (lambda s: native.format([s], compact=True), "[KeyPathSet([a.b, c[0]])]"),
    ],
)
def test_text_forms(render, expected):
    assert render(KeyPathSet(["a.b", "c[0]"])) == expected


@pytest.mark.parametrize("render", [repr, str, lambda s: s.format(compact=False)])
def test_empty_set_prints_bare_label(render):
    assert render(KeyPathSet()) == "KeyPathSet()"
    # An empty node holds no member either.
    s = KeyPathSet()
    s.rebase("x")
    assert render(s) == "KeyPathSet()"


def test_long_member_lists_wrap_one_per_line():
    paths = [f"field{i}.value" for i in range(12)]
    lines = str(KeyPathSet(paths)).splitlines()
    assert lines[:2] == ["KeyPathSet(", "  ["]
    assert lines[2:-2] == [f"    {p}," for p in paths[:-1]] + [f"    {paths[-1]}"]
    assert lines[-2:] == ["  ]", ")"]
    assert repr(KeyPathSet(paths)) == "KeyPathSet([" + ", ".join(paths) + "])"


def test_label_cannot_be_overridden():
    with pytest.raises(TypeError, match="multiple values for keyword argument 'label'"):
        KeyPathSet(["a"]).format(label="Other")
    assert KeyPathSet.__vesk_formattable__ is True
