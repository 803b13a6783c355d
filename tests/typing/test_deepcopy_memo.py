"""The deep-copy memo protocol, checked against the standard `copy` module
that shares the memo with native copies."""

import collections
import copy

import pytest

import vesk_core._native as native
from seams import seams


class Node:
    def __init__(self, *children):
        self.children = list(children)


class DictMemo(dict):
    pass


@pytest.mark.parametrize("memo_cls", [dict, DictMemo])
def test_register_then_hit_and_keep_alive_in_order(memo_cls):
    memo = memo_cls()
    a, b = Node(), Node()
    assert seams.deepcopy_memo_hit(memo, a) == (False, None)
    seams.deepcopy_memo_register(memo, a, "copy of a")
    seams.deepcopy_memo_register(memo, b, None)  # a copy that is None is still a hit
    assert seams.deepcopy_memo_hit(memo, a) == (True, "copy of a")
    assert seams.deepcopy_memo_hit(memo, b) == (True, None)
    assert memo[id(a)] == "copy of a" and memo[id(memo)] == [a, b]


def test_the_memo_is_shared_with_the_copy_module():
    memo = {}
    inner = Node()
    outer = Node(inner, inner)
    seams.deepcopy_memo_register(memo, inner, "native copy")
    copied = copy.deepcopy(outer, memo)
    assert copied.children == ["native copy", "native copy"]
    # copy appended to the one keep-alive list; a native hit finds its copy.
    assert memo[id(memo)][0] is inner and outer in memo[id(memo)]
    assert seams.deepcopy_memo_hit(memo, outer) == (True, copied)
    seams.deepcopy_memo_register(memo, copied, "again")
    assert memo[id(memo)][-1] is copied


@pytest.mark.parametrize("memo", [None, [], (), "memo", collections.UserDict()])
def test_a_memo_that_is_not_a_dict_is_ignored(memo):
    source = Node()
    before = copy.copy(memo)
    assert seams.deepcopy_memo_hit(memo, source) == (False, None)
    assert seams.deepcopy_memo_register(memo, source, "copy") is None
    assert memo == before


class CollidingKey:
    """A key that collides with the id of `target` and cannot compare."""

    def __init__(self, target):
        self.target = target

    def __hash__(self):
        return hash(id(self.target))

    def __eq__(self, other):
        raise ArithmeticError("hostile key")


def test_dictionary_errors_propagate():
    source = Node()
    memo = {CollidingKey(source): 1}
    with pytest.raises(ArithmeticError, match="hostile key"):
        seams.deepcopy_memo_hit(memo, source)
    with pytest.raises(ArithmeticError, match="hostile key"):
        seams.deepcopy_memo_register(memo, source, "copy")


@pytest.mark.parametrize("keep_alive", [None, (), "text"])
def test_a_keep_alive_entry_without_append_raises(keep_alive):
    memo = {}
    memo[id(memo)] = keep_alive
    with pytest.raises(AttributeError):
        seams.deepcopy_memo_register(memo, Node(), "copy")


def test_keep_alive_append_is_called_by_name():
    calls = []

    class Recorder(list):
        def append(self, item):
            calls.append(item)

    memo = {}
    memo[id(memo)] = Recorder()
    source = Node()
    seams.deepcopy_memo_register(memo, source, "copy")
    assert calls == [source]


@pytest.mark.parametrize("memo_cls", [dict, DictMemo])
def test_a_spec_held_twice_is_copied_once(memo_cls):
    spec = native.Int(min_value=0)
    memo = memo_cls()
    first, second = copy.deepcopy([spec, spec], memo)
    assert first is second and first is not spec
    assert memo[id(spec)] is first and memo[id(memo)][0] is spec
    assert spec.__deepcopy__(memo) is first
