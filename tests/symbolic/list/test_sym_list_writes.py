"""SymList mutators: the gate of each operation and its message, the size
bounds, update keys in the caller's form, slice assignment by Python's
rules, one notification per operation, refused or failing operations that
lose nothing, and removals that check their item is still in place."""

import pytest

import vesk_core._native as native
from helpers import (MISSING, Dict, Inferred, Insertion, KeyPath, List, Node, SharedHoldError,
                     WritePermissionError, scope)

SEALED, ACCESSOR = native._FLAG_SEALED, native._FLAG_ACCESSOR_WRITABLE
NOTIFY = native._FLAG_CHANGE_NOTIFICATION
LOCKED = "while accessor_writable is set to False. Use 'sym_rebind' method instead. (path=r)"


def batches(lst):
    """The updates each notification carried: (key, old, new) per update."""
    return [[(u.path.key, u.old_value, u.new_value) for u in batch]
            for batch in lst.__dict__.get("notified", [])]


@pytest.mark.parametrize("op, sealed, locked", [
    (lambda x: x.__setitem__(0, 5), "Cannot set item for a sealed List. (path=r)",
     "Cannot modify List item by __setitem__ " + LOCKED),
    (lambda x: x.__delitem__(0), "Cannot delete item from a sealed List.",
     "Cannot delete List item " + LOCKED),
    (lambda x: x.pop(), "Cannot delete item from a sealed List.", None),
    (lambda x: x.remove(1), "Cannot delete item from a sealed List.", None),
    (lambda x: x.append(5), "Cannot append element on a sealed List.", None),
    (lambda x: x.insert(0, 5), "Cannot insert element into a sealed List.", None),
    (lambda x: x.extend([5]), "Cannot extend a sealed List.", None),
    (lambda x: x.clear(), "Cannot clear a sealed List.", None),
    (lambda x: x.sort(), "Cannot sort a sealed List.", None),
    (lambda x: x.reverse(), "Cannot reverse a sealed List.", None),
])
def test_gates(op, sealed, locked):
    refused = List([1, 2], root_path=KeyPath("r"), sealed=True, accessor_writable=False)
    with pytest.raises(WritePermissionError) as info:   # the sealed gate first
        op(refused)
    assert str(info.value) == sealed and refused == [1, 2]
    lst = List([1, 2], root_path=KeyPath("r"), accessor_writable=False)
    if locked:
        with pytest.raises(WritePermissionError) as info:
            op(lst)
        assert str(info.value) == locked and lst == [1, 2]
        with scope(ACCESSOR, True):
            op(lst)
    else:
        op(lst)   # only item assignment and deletion are locked
    with scope(SEALED, False):
        op(List([1, 2], sealed=True))
    with scope(SEALED, True), pytest.raises(WritePermissionError):
        op(List([1, 2]))
    assert refused._set_item_without_permission_check(0, 7) is not None   # no gates
    refused.delete_and_notify(1)
    assert refused == [7]


def test_size_bounds():
    lst = List([1, 2, 3], value_spec=native.List(native.Int(), min_size=2, max_size=3))
    for op in (lambda: lst.append(4), lambda: lst.insert(0, 4),
               lambda: lst.__setitem__(slice(3, 3), [9]),
               lambda: lst.__setitem__(slice(0, 1), [7, 8])):
        with pytest.raises(ValueError, match=r"^List reached its max size 3\.$"):
            op()
    lst[0:2] = [1, 2]   # as long as it was
    del lst[0]
    with pytest.raises(ValueError, match=r"^Cannot extend List: the number of elements \(4\) "
                                         r"exceeds max size \(3\)\.$"):
        lst.extend([5, 6])
    for op in (lst.pop, lambda: lst.remove(2), lambda: lst.__delitem__(0),
               lambda: lst.delete_and_notify(0)):
        with pytest.raises(ValueError, match=r"^Cannot delete item: min size \(2\) is reached\.$"):
            op()
    empty = List(value_spec=lst.value_spec, pass_through=True)
    with pytest.raises(ValueError, match=r"^List cannot be cleared: min size is 2\.$"):
        empty.clear()
    assert lst == [2, 3] and lst.max_size == 3 and len(lst.notified) == 1
    assert List().max_size is None and List(value_spec=native.List(native.Int())).max_size is None


@pytest.mark.parametrize("op, key, old, result", [
    (lambda x: x.__setitem__(-1, 9), -1, "c", ["a", "b", 9]),
    (lambda x: x.insert(-100, 9), -100, MISSING, [9, "a", "b", "c"]),
    (lambda x: x.insert(100, 9), 3, MISSING, ["a", "b", "c", 9]),
    (lambda x: x.append(9), 3, MISSING, ["a", "b", "c", 9]),
    (lambda x: x.pop(-1), 2, "c", ["a", "b"]),
    (lambda x: x.__delitem__(-3), -3, "a", ["b", "c"]),
    (lambda x: x.remove("b"), 1, "b", ["a", "c"]),
])
def test_update_keys_are_the_callers(op, key, old, result):
    spec = native.List(native.Any())
    lst = List(["a", "b", "c"], value_spec=spec, root_path=KeyPath("r"))
    op(lst)
    [[update]] = lst.notified
    assert lst == result and update.path == KeyPath(key, KeyPath("r"))
    assert (update.target, update.field, update.old_value) == (lst, spec.element, old)
    assert update.new_value == (MISSING if len(result) < 3 else 9)


def test_a_child_is_placed_at_its_position_whatever_index_names_it():
    lst = List([1, 2, 3], root_path=KeyPath("r"))
    lst[-1] = {"a": 1}
    lst.insert(-100, {"b": 2})
    assert [b[0][0] for b in batches(lst)] == [-1, -100]
    assert lst[3].topo_path == KeyPath(2, KeyPath("r"))   # stale after the insertion, as any
    assert lst[0].topo_path == KeyPath(0, KeyPath("r"))


def test_the_identity_write_and_a_missing_value_past_the_end_do_nothing():
    d = Dict()
    lst = List([d])
    lst[0] = d
    lst.append(MISSING)
    assert lst._set_item_without_permission_check(0, d) is None
    assert lst._set_item_without_permission_check(5, MISSING) is None
    assert lst == [d] and "notified" not in lst.__dict__ and d.topo_parent is lst


@pytest.mark.parametrize("value", ["x", MISSING, "child"])
def test_the_seam_refuses_an_index_before_the_start(value):
    # Counted from the end, -3 names no item of two: nothing is added, not
    # even the missing value.
    lst = List([1, 2], root_path=KeyPath("r"))
    child = Dict(a=1)
    with pytest.raises(IndexError, match="list assignment index out of range"):
        lst._set_item_without_permission_check(-3, child if value == "child" else value)
    assert lst == [1, 2] and child.topo_parent is None and child.topo_path == KeyPath()


@pytest.mark.parametrize("start, key, items, result, updates", [
    ("abcd", slice(1, 3), ["x"], ["a", "x", MISSING, "d"],
     [(1, "b", "x"), (2, "c", MISSING)]),
    ("abc", slice(1, 2), ["x", "y", "z"], ["a", "x", "y", "z", "c"],
     [(1, "b", "x"), (2, MISSING, "y"), (3, MISSING, "z")]),
    ("abc", slice(3, 1), ["x"], ["a", "b", "c", "x"], [(3, MISSING, "x")]),
    ("abcd", slice(None, None, -2), ["x", "y"], ["a", "y", "c", "x"],
     [(3, "d", "x"), (1, "b", "y")]),
    ("abcd", slice(None, None, -1), "wxyz", ["z", "y", "x", "w"],
     [(3, "d", "w"), (2, "c", "x"), (1, "b", "y"), (0, "a", "z")]),
    ("abcd", slice(3, 1, 2), [], list("abcd"), None),
    ("ab", slice(-100, 100), ["x"], ["x", MISSING], [(0, "a", "x"), (1, "b", MISSING)]),
])
def test_slice_assignment(start, key, items, result, updates):
    lst = List(list(start))
    lst[key] = items
    assert lst == result
    assert batches(lst) == ([updates] if updates else [])


@pytest.mark.parametrize("key, items, error, message", [
    (slice(0, 4, 2), ["x"], ValueError,
     "attempt to assign sequence of size 1 to extended slice of size 2"),
    (slice(None, None, -1), ["x"], ValueError,
     "attempt to assign sequence of size 1 to extended slice of size 4"),
    (slice(0, 3, 0), None, ValueError, "slice step cannot be zero"),
    (slice(0, "x"), ["x"], TypeError, "slice indices must be integers"),
    (slice(0, 1), 5, TypeError, "not iterable"),
])
def test_bad_slice_assignments_change_nothing(key, items, error, message):
    def unread():
        raise AssertionError("items read")
        yield

    lst = List(list("abcd"))
    with pytest.raises(error, match=message):
        lst[key] = unread() if items is None else items
    assert lst == list("abcd") and "notified" not in lst.__dict__


def test_slice_assignment_formalizes_each_item_once_where_it_goes():
    lst = List([{"a": 0}, {"b": 0}], root_path=KeyPath("r"))
    lst[1:2] = [{"a": 1}]
    assert type(lst[1]) is Dict and lst[1].topo_path == KeyPath(1, KeyPath("r"))
    assert lst[1].topo_parent is lst
    calls = []
    counted = native.List(native.Int().set_transform(lambda v: calls.append(v) or v))
    typed = List([1, 2, 3], value_spec=counted)
    calls.clear()
    typed[1:3] = [5, 6]
    typed.extend([7])
    assert typed == [1, 5, 6, 7] and calls == [5, 6, 7]


@pytest.mark.parametrize("op", [
    lambda x, items: x.__setitem__(slice(0, 1), items),
    lambda x, items: x.extend(items),
])
def test_a_batch_that_fails_while_formalizing_changes_nothing(op):
    spec = native.List(native.Dict([("x", native.Int())]))
    lst = List([{"x": 1}], value_spec=spec, root_path=KeyPath("r"))
    old, fresh = lst[0], Dict(x=2)
    with pytest.raises(TypeError, match=r"path=r\[[12]\]\.x"):
        op(lst, [fresh, {"x": "bad"}])
    assert lst == [{"x": 1}] and lst[0] is old and old.topo_parent is lst
    assert fresh.topo_parent is None and fresh.topo_path == KeyPath()   # let go again
    assert fresh._value_spec is None     # its apply given back with the batch
    assert "notified" not in lst.__dict__


def filled():
    return native.Dict([("a", native.Int(default=0))])


@pytest.mark.parametrize("op", [
    lambda lst, items: lst.__setitem__(slice(0, 0), items),
    lambda lst, items: lst.__setitem__(slice(0, 1), items),
    lambda lst, items: lst.extend(items),
])
@pytest.mark.parametrize("element, given", [
    (filled, lambda d: d),
    (lambda: native.Dict([("k", filled())]), lambda d: {"k": d}),   # applied in its wrapper
])
def test_a_failed_typed_batch_gives_its_values_back_as_they_were(op, element, given):
    lst = List([], value_spec=native.List(element()), root_path=KeyPath("r"))
    lst.extend([given(Dict(a=1))])
    held = lst[0]
    d = Dict()
    with pytest.raises(TypeError, match=r"path=r\[[12]\]"):
        op(lst, [given(d), 5])
    assert dict(d) == {} and d._value_spec is None and d.topo_parent is None
    assert "notified" not in d.__dict__
    assert len(lst) == 1 and lst[0] is held and len(lst.notified) == 1
    op(lst, [given(d)])     # alone it stands, applied
    assert dict(d) == {"a": 0} and d._value_spec == filled()


def test_one_notification_per_operation():
    lst = List([1, 2, 3])
    lst[0:2] = [7, 8, 9]
    lst.extend([MISSING, Insertion(4), 5])   # a missing value is no write at the end
    lst.sort(reverse=True, key=lambda v: -v)
    lst.reverse()
    lst.clear()
    assert batches(lst) == [[(0, 1, 7), (1, 2, 8), (2, MISSING, 9)],
                            [(4, MISSING, 4), (5, MISSING, 5)]]


@pytest.mark.parametrize("value, sent", [(False, False), (True, True), (None, True)])
def test_only_an_explicit_false_scope_drops_notifications(value, sent):
    lst = List([1, 2])
    lst._sym_validate_overridden = True   # no exception for lists
    with scope(NOTIFY, value):
        lst.append(3)
        lst[0] = 0
        del lst[1]
        lst.extend([4])
    assert lst == [0, 3, 4] and len(lst.__dict__.get("notified", [])) == (4 if sent else 0)


@pytest.mark.parametrize("op, error, message", [
    (lambda x: x.__setitem__(3, 0), IndexError,
     r"^list assignment index out of range\. Length=3, index=3$"),
    (lambda x: x.__setitem__("0", 0), TypeError,
     r"^list assignment index must be an integer\. Encountered '0'\.$"),
    (lambda x: x.__delitem__(5), IndexError, r"^list index out of range\. Length=3, index=5$"),
    (lambda x: x.__delitem__(slice(0, 1)), TypeError,
     r"^list index must be an integer\. Encountered slice\(0, 1, None\)\.$"),
    (lambda x: x.pop(3), IndexError, r"^pop index out of range$"),
    (lambda x: x.pop("0"), TypeError, "index"),
    (lambda x: x.remove(9), ValueError, r"^9 not in list\.$"),
    (lambda x: x.sort(reverse=1), TypeError, "reverse"),
    (lambda x: x._set_item_without_permission_check("0", 1), TypeError, "key"),
    (lambda x: x.delete_and_notify(2**70), OverflowError, "'i'"),
])
def test_bad_input_is_refused_and_changes_nothing(op, error, message):
    lst = List([1, 2, 3])
    with pytest.raises(error, match=message):
        op(lst)
    assert lst == [1, 2, 3] and "notified" not in lst.__dict__
    with pytest.raises(IndexError, match="pop index out of range"):   # before the sealed gate
        List(sealed=True).pop()


def test_removals_return_and_report_what_they_removed():
    lst = List([Inferred(5), "b", "c", "b"])
    assert lst.pop(0) == 5 and lst.pop() == "b"
    lst.remove("b")
    assert lst == ["c"]
    assert [b[0][1] for b in batches(lst)][1:] == ["b", "b"]

    class Reentrant:   # its first infer() pops the item it was read at
        def infer(self):
            if not started:
                started.append(True)
                inner.append(lst.pop(0))
            return "A"

    started, inner, item = [], [], Reentrant()
    lst = List([item, "b"])
    assert lst.pop(0) == "b" and inner == ["A"] and lst == []
    assert batches(lst) == [[(0, item, MISSING)], [(0, "b", MISSING)]]

    class Vanishing:   # deletes itself while compared
        def __eq__(self, other):
            list.__delitem__(lst, 0)
            return True

    lst = List([Vanishing(), "b"])
    with pytest.raises(ValueError, match="not in list"):
        lst.remove("b'")
    assert lst == ["b"] and "notified" not in lst.__dict__


def test_copies():
    spec = native.List(native.Any())
    child = Dict(x=1)
    lst = List([child, 2], value_spec=spec)
    for made in (lst.copy(), lst + [3], lst * 2, 2 * lst):
        assert type(made) is List and made.value_spec is spec and made[0] == child
        assert made[0] is not child and made[0].topo_parent is made and child.topo_parent is lst
    assert lst + [3] == [child, 2, 3] and len(lst * 2) == 4 and List([1]) * 0 == []
    assert [0] + List([1]) == [0, 1] and type([0] + List([1])) is list
    with pytest.raises(TypeError):
        lst * "x"
    assert lst.copy().__dict__.get("notified", []) == []


def test_extend_sources_and_a_blank_list():
    held = List([Dict(a=1)])
    lst = List([0])
    lst.extend(held)                    # held by another list: cloned
    lst.extend(iter([Node()]))
    assert lst[1] == {"a": 1} and lst[1] is not held[0] and lst[1].topo_parent is lst
    assert lst[2].calls == [("path", KeyPath(2)), ("parent", lst)]
    blank = List.__new__(List)
    assert blank.extend([1]) is None and blank == []   # never constructed: nothing happens
    with pytest.raises(SharedHoldError):
        lst.append(held[0])


class Mover(Node):
    """A child whose topology calls move the list that holds it to `moved`."""

    def __init__(self, name, holder):
        super().__init__(name)
        self.holder = holder

    def topo_setpath(self, path):
        super().topo_setpath(path)
        if path is not None and len(path) == 2:   # being adopted
            self.holder._topo_path = KeyPath("adopting")

    def topo_setparent(self, parent):
        super().topo_setparent(parent)
        if parent is None:                          # being replaced
            self.holder._topo_path = KeyPath("detaching")


@pytest.mark.parametrize("bound", [False, True])
def test_an_update_names_the_path_the_list_has_after_its_store(bound):
    spec = native.List(native.Any()) if bound else None
    lst = List([0], value_spec=spec, root_path=KeyPath("r"))
    lst.append(Mover("m", lst))          # adopting it moved the list
    lst.append(7)                        # a primitive write: nothing moves it
    lst[1] = 8                           # detaching the replaced child moves it
    lst[0] = 9                           # a primitive replaced by a primitive
    assert [str(u.path) for [u] in lst.notified] == [
        "adopting[1]", "adopting[2]", "detaching[1]", "detaching[0]"]


def test_writes_follow_changes_to_the_bound_spec_and_its_element():
    spec = native.List(native.Int())
    lst = List([1], value_spec=spec)
    lst.append(2)
    lst[0] = 5                       # what the writes know of the spec is now kept
    seen = []
    spec.element.set_validator(seen.append)
    lst.append(3)
    lst[1] = 6
    assert seen == [3, 6]
    spec.element.value.set_transform(lambda v: v * 10)
    lst.append(4)
    lst[0] = 7
    assert lst == [70, 6, 3, 40]
    lst._value_spec = native.List(native.Str())   # another spec, whatever it replaced
    lst.append("s")
    with pytest.raises(TypeError):
        lst.append(8)
    with pytest.raises(TypeError):
        lst[0] = 9
    assert lst == [70, 6, 3, 40, "s"]


def test_an_element_spec_changed_in_place_reaches_every_list_bound_to_it():
    element = native.Int()
    spec = native.List(element)
    old = List([1, 2], value_spec=spec)
    old.append(3)
    old[0] = 4                       # what the writes know of the element is now kept
    element.set_transform(lambda v: v * 10)
    old.append(5)
    old[1] = 6
    old.insert(0, 7)
    new = List([], value_spec=spec)
    new.append(2)
    new.extend([3])
    assert old == [70, 4, 60, 3, 50] and new == [20, 30]
    assert spec.apply([5]) == [50]


class Shrinker(Node):
    """A child whose adoption empties the list it is written into, as a
    thread emptying it meanwhile would."""

    def __init__(self, name, holder):
        super().__init__(name)
        self.holder = holder

    def topo_setparent(self, parent):
        super().topo_setparent(parent)
        if parent is self.holder:
            self.meddle()

    def meddle(self):
        self.holder.clear()


@pytest.mark.parametrize("index", [1, -1])
def test_an_index_write_to_a_list_shrunk_meanwhile_is_the_assignments_own_error(index):
    lst = List([0, Dict(a=1)])
    with pytest.raises(IndexError, match=rf"^list assignment index out of range\. "
                                         rf"Length=0, index={index}$"):
        lst[index] = Shrinker("s", lst)
    assert list(lst) == []


def test_a_child_is_in_place_only_at_the_position_that_holds_it():
    """An insertion never finds a child in place, and a child whose stamped
    index went stale after an insertion is not in place at that index: both
    are held elsewhere (the list's own position), never stored twice."""
    child = Dict(n=1)
    lst = List([0], root_path=KeyPath("r"))
    lst.append(child)
    with pytest.raises(SharedHoldError):
        lst.insert(1, child)
    assert list(lst) == [0, child] and child._topo_path == KeyPath.parse("r[1]")

    a, b = Dict(n="a"), Dict(n="b")
    lst = List([a], root_path=KeyPath("r"))
    lst.insert(0, b)                      # a now sits at 1, still stamped r[0]
    with pytest.raises(SharedHoldError):
        lst[0] = a
    assert lst[0] is b and lst[1] is a and b._topo_parent is lst


class Remover(Shrinker):
    """A child whose adoption takes the list's last item away, as a thread
    shrinking the list meanwhile would."""

    def meddle(self):
        if len(self.holder) > 1:
            del self.holder[-1]


def test_a_slice_write_to_a_position_gone_meanwhile_appends():
    lst = List([0, 1], root_path=KeyPath("r"))
    item = Remover("s", lst)
    lst[1:2] = [item]        # position 1 is gone by the store: as after the removal
    assert list(lst) == [0, item]
    assert batches(lst)[-1] == [(1, MISSING, item)]


def test_writes_that_meet_a_sort_in_progress_fail_and_lose_nothing():
    lst = List([3, 1, 2], root_path=KeyPath("r"))
    refused = []
    writes = [lambda: lst.append(9), lambda: lst.insert(0, 9), lambda: lst.__setitem__(0, 9),
              lambda: lst.__setitem__(slice(0, 1), [9]), lambda: lst.__delitem__(0),
              lambda: lst.pop(), lambda: lst.remove(1), lambda: lst.clear(),
              lambda: lst.reverse(), lambda: lst.extend([9]), lambda: lst.sort(),
              lambda: lst._set_item_without_permission_check(0, 9)]

    def key(value):
        # The sort's key function runs while the list's items are out of it.
        for write in writes[len(refused):]:
            with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                write()
            refused.append(write)
        return value

    lst.sort(key=key)
    assert len(refused) == len(writes) and list(lst) == [1, 2, 3]
    lst.append(4)            # the sort's mark is gone with it
    assert list(lst) == [1, 2, 3, 4]


@pytest.mark.parametrize("write", [
    lambda lst, x: lst.__setitem__(slice(0, 2), [x, x]),
    lambda lst, x: lst.__setitem__(slice(0, 3, 2), [x, x]),
    lambda lst, x: lst.__setitem__(slice(3, 3), [x, x]),
    lambda lst, x: lst.extend([x, x]),
])
def test_a_batch_meets_a_child_given_twice_where_its_first_write_put_it(write):
    """The second write of one child finds it held, as two single writes one
    after the other would: refused, and the batch, which stands whole or not
    at all, takes its first write back."""
    x = Dict(v=1)
    lst = List([1, 2, 3], root_path=KeyPath("r"))
    with pytest.raises(SharedHoldError):
        write(lst, x)
    assert list(lst) == [1, 2, 3]
    assert x._topo_parent is None and x._topo_path == KeyPath()
    y = Dict(v=2)
    joined = List([1]) + [y, y]               # a copy adopts: the second is a clone
    assert joined[1] is y and joined[2] is not y and joined[2] == y
    assert joined[2]._topo_path == KeyPath(2) and y._topo_path == KeyPath(1)


def test_a_batch_places_a_child_its_earlier_writes_let_go_and_not_one_it_keeps():
    x = Dict(v=1)
    lst = List([x, 1, 2], root_path=KeyPath("r"))
    with pytest.raises(SharedHoldError):      # x stays at 0, which the batch keeps
        lst[1:3] = [x, 5]
    assert list(lst) == [x, 1, 2] and x._topo_path == KeyPath(0, KeyPath("r"))
    lst[0:2] = [7, x]                         # position 0 let x go before 1 takes it
    assert list(lst) == [7, x, 2]
    assert x._topo_parent is lst and x._topo_path == KeyPath(1, KeyPath("r"))


@pytest.mark.parametrize("move, after, moved", [
    (lambda l: l.append(l.pop()), "abc", "c"),
    (lambda l: l.insert(2, l.pop()), "abc", "c"),
    (lambda l: l.insert(1, l.pop(1)), "abc", "b"),
    (lambda l: l.__setitem__(0, l.pop(0)), "ac", "a"),
])
def test_a_popped_child_goes_back_into_its_own_list(move, after, moved):
    """A removal does not let its item go: the child still names the list,
    which no longer stores it, under its old position, where it is in place
    again; under another position it is free to place."""
    lst = List([Dict(n=n) for n in "abc"], root_path=KeyPath("r"))
    move(lst)
    assert "".join(v["n"] for v in lst) == after
    assert all(v._topo_parent is lst for v in lst)
    back = next(v for v in lst if v["n"] == moved)
    assert back._topo_path == KeyPath(after.index(moved), KeyPath("r"))
    last = lst.pop(0)
    lst.append(last)
    assert lst[-1] is last and last._topo_path == KeyPath(len(lst) - 1, KeyPath("r"))
