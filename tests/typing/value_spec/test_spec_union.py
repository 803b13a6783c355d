"""Union: construction, type map, copies, JSON, candidate choice, text form."""

import copy
import threading

import pytest

import vesk_core._native as native
from races import started
from vesk.typing import annotation, json
from vesk_core._native import Float, Int, Object, Str, Union

PATH = native.KeyPath.parse("a[2].b")


class Probe(annotation.ValueSpec):
    _exact_leaf_type = None
    forward_refs = frozenset()

    def __init__(self, value_type=None, result="probe", error=None, compatible=(), is_noneable=False):
        self._value_type = self.value_type = value_type
        self.result, self.error, self.compatible = result, error, compatible
        self.is_noneable = is_noneable
        self.calls = []

    def apply(self, value, **kwargs):
        self.calls.append((value, kwargs))
        if self.error is not None:
            raise self.error
        return self.result

    def is_compatible(self, other):
        return any(other is c for c in self.compatible)

    def __repr__(self):
        return f"Probe({self._value_type!r})"


class Other(Probe):
    pass


class Base:
    pass


class Derived(Base):
    pass


class Leaf(Derived):
    pass




@pytest.mark.parametrize("candidates", [[int], 5])
def test_fewer_than_two_candidates_or_not_a_sequence(candidates):
    with pytest.raises(ValueError) as err:
        Union(candidates)
    assert str(err.value) == (
        "Argument 'candidates' must be a list of at least 2 elements. "
        f"Encountered {candidates}."
    )


@pytest.mark.parametrize(
    "candidates, count, pair",
    [(lambda: [Int(), Int(min_value=0)], 2, (Int, int)), (lambda: [Str(), Int(), int, Int(max_value=3)], 3, (Int, int))],
)
def test_same_spec_class_and_value_type_is_refused(candidates, count, pair):
    with pytest.raises(ValueError) as err:
        Union(candidates())
    assert str(err.value) == f"Found {count} value specs of the same type {pair}."


@pytest.mark.parametrize(
    "candidate, value_type",
    [(lambda: Probe(None), None), (lambda: Probe((int, float)), (int, float)),
     (lambda: Object("NotRegistered"), (int, "NotRegistered"))],
)
def test_no_type_map(candidate, value_type):
    u = Union([Int(), candidate()])
    assert u._candidate_type_map is None
    assert u._value_type == value_type


def test_noneable_when_asked_or_when_a_candidate_is():
    assert Union([Int(), Probe(str, is_noneable=1)]).is_noneable is True


def test_subclass_instances_but_plain_copies():
    class MyUnion(Union):
        pass

    u = MyUnion([Int(), Str()])
    assert type(u) is MyUnion
    for made in (copy.copy(u), copy.deepcopy(u), MyUnion[int, str],
                 MyUnion.with_type_args((int, str))):
        assert type(made) is Union




def test_type_args():
    u = Union[int, str]
    assert [type(c) for c in u.candidates] == [Int, Str] and not u.is_noneable
    single = Union[int, None]
    assert type(single) is Int and single.is_noneable
    u = Union[int, None, str]
    assert type(u) is Union and len(u.candidates) == 2 and u.is_noneable
    with pytest.raises(TypeError) as err:
        Union[int]
    assert str(err.value) == (
        "`vk.typing.Union` requires at least 2 type arguments. Encountered: <class 'int'>."
    )




def test_copy_shares_deepcopy_rebuilds():
    u = Union([Int(), Str()])
    deep = copy.deepcopy(u)
    assert deep.candidates is not u.candidates
    assert deep._candidate_type_map[int] is deep.candidates[0]
    memo = {}
    assert u.__deepcopy__(memo) is u.__deepcopy__(memo)
    with pytest.raises(TypeError):
        u.__deepcopy__({id(u): Int()})




@json.register_serializable
class JsonProbe:
    __serialization_key__ = "test.union.JsonProbe"
    seen = []

    @classmethod
    def from_json(cls, json_value, **kwargs):
        cls.seen.append(kwargs)
        return Probe(json.from_json(json_value["vt"]))


def test_from_json():
    u = Union.from_json({"_type": "ignored", "is_noneable": True, "strict": False, "candidates": [
        {"_type": "test.union.JsonProbe", "vt": {"_type": "type", "name": "builtins.int"}},
        {"_type": "vesk.typing.Object", "t": {"_type": "type", "name": "builtins.str"}}]}, flavour="x")
    assert type(u) is Union and u.is_noneable and u.strict is False
    assert u.candidates[0]._value_type is int and u.candidates[1].cls is str
    assert JsonProbe.seen[-1] == {"flavour": "x"}


@pytest.mark.parametrize(
    "json_value, error, message",
    [({}, ValueError, "Union json missing 'candidates'.")],
)
def test_from_json_errors(json_value, error, message):
    with pytest.raises(error) as err:
        Union.from_json(json_value)
    if message:
        assert str(err.value).startswith(message)




def test_type_map_picks_by_exact_class_and_keeps_the_path():
    u = Union([Int(min_value=0), Str()])
    assert u.apply("s") == "s" and u.apply(3) == 3
    with pytest.raises(ValueError) as err:
        u.apply(-1, root_path=PATH)
    assert str(err.value) == "Value -1 is out of range (min=0, max=None). (path=a[2].b)"
    # An unconstrained leaf in the map is not called.
    leaf = Probe(int)
    leaf._exact_leaf_type = int
    assert Union([leaf, Str()]).apply(7) == 7 and leaf.calls == []


def test_candidates_receive_the_options():
    p = Probe(Base)
    transform = lambda v: v  # noqa: E731
    value = Leaf()
    Union([p, Str()]).apply(value, allow_partial=True, child_transform=transform,
                            root_path=PATH, inplace=False)
    (got, kwargs), = p.calls
    assert got is value
    assert kwargs == {"allow_partial": True, "child_transform": transform, "root_path": PATH,
                      "inplace": False}


def test_first_candidate_whose_type_holds_wins():
    base, derived = Probe(Base, result="base"), Probe(Derived, result="derived")
    u = Union([base, derived])
    assert u.apply(Derived()) == "derived"  # the map: exact class
    assert u.apply(Leaf()) == "base"  # no map entry: the first that holds, in order
    assert Union([derived, base]).apply(Leaf()) == "derived"


def test_untyped_candidates_then_typed_ones():
    untyped_type_error = Probe(None, error=TypeError("no"))
    untyped_ok = Other(None, result="untyped")  # another class: not the same type
    u = Union([Float(), untyped_type_error, untyped_ok])
    assert u.apply(1) == "untyped"  # pass 2 before Float's coercion in pass 3
    assert len(untyped_type_error.calls) == 1
    assert Union([Float(), untyped_type_error]).apply(1) == 1.0  # pass 3
    with pytest.raises(ValueError, match="stop"):
        Union([Float(), Probe(None, error=ValueError("stop")), untyped_ok]).apply(1)


def test_no_candidate_matches():
    u = Union([Probe(None, error=TypeError("a")), Probe(Base, error=TypeError("b"))])
    with pytest.raises(TypeError) as err:
        u.apply(3, root_path=PATH)
    assert str(err.value) == f"3 does not match any candidate of {u!r}."


def _raising(name):
    def get(self):
        raise AttributeError(f"inner {name}")

    return property(get)


class Hooked(annotation.ValueSpec):
    forward_refs = frozenset()
    is_noneable = False
    _exact_leaf_type = None

    def __init__(self, value_type):
        self._vt = value_type

    _value_type = property(lambda self: self._vt)
    value_type = property(lambda self: self._vt)

    def apply(self, value, **kwargs):
        return "hooked"


@pytest.mark.parametrize("hook, value_type", [
    ("_value_type", int), ("is_noneable", int), ("forward_refs", int), ("apply", int),
    ("apply", None), ("value_type", None)])
def test_an_attribute_error_inside_a_candidate_hook_passes_through(hook, value_type):
    candidate = type("Broken", (Hooked,), {hook: _raising(hook)})(value_type)
    with pytest.raises(AttributeError, match=f"^inner {hook}$"):
        Union([candidate, Str()]).apply(5)


def test_an_attribute_error_inside_the_leaf_probe_counts_as_no_probe():
    class Unprobed(Probe):
        _exact_leaf_type = _raising("_exact_leaf_type")
        fast_apply_info = type("Info", (), {"is_eligible": False})()

    # Not taken as an exact leaf: the candidate's own apply decides.
    assert Union([Unprobed(int), Str()]).apply(5) == "probe"


def test_unresolved_forward_reference_lets_the_value_through():
    from vesk.typing import forward_ref

    class Later:
        pass

    u = Union([Object("Later"), Int()])
    assert u.apply("anything") == "anything"
    forward_ref.register_forward_ref_target([], Later)
    try:
        with pytest.raises(TypeError, match="Expect"):
            u.apply("anything")
        later = Later()
        assert u.apply(later) is later
    finally:
        forward_ref.forget_forward_ref_target(Later)
    assert u.apply("anything") == "anything"


class Partial:
    __vesk_maybe_partial__ = True

    def __init__(self, partial):
        self.sym_partial = partial

    def __str__(self):
        return "Partial()"


def test_mapped_object_candidate_refuses_a_partial_value():
    u = Union([Object(Partial), Int()])
    whole = Partial(False)
    assert u.apply(whole) is whole
    with pytest.raises(ValueError) as err:
        u.apply(Partial(True), root_path=PATH)
    assert str(err.value) == "Object Partial() is not fully bound. (path=a[2].b)"
    half = Partial(True)
    assert u.apply(half, allow_partial=True) is half


def test_applies_on_threads():
    u = Union([Int(min_value=0), Str(), Object(Base)])
    values = [1, "a", Base()]
    failures = [None] * 8

    def run(slot):
        try:
            for _ in range(200):
                for v in values:
                    assert u.apply(v) is v
                with pytest.raises(ValueError):
                    u.apply(-1)
        except BaseException as e:  # noqa: BLE001
            failures[slot] = e

    threads = [threading.Thread(target=run, args=(i,)) for i in range(8)]
    with started(threads):
        pass
    assert failures == [None] * 8




def test_get_candidate_prefers_the_exact_class():
    i, exact = Int(), Probe(str)
    dest = Probe(compatible=(i, exact))
    assert Union([i, exact]).get_candidate(dest) is exact
    other = Probe(compatible=(i,))
    assert Union([i, exact]).get_candidate(other) is i
    assert Union([i, exact]).get_candidate(Probe()) is None
    inner_int = Int()
    inner = Union([inner_int, Float()])
    outer = Union([Str(), inner])
    assert outer.get_candidate(Probe(compatible=(inner_int,))) is inner_int

    class Loose(Probe):
        def is_compatible(self, other):
            return 1

    with pytest.raises(TypeError):
        Union([Int(), Probe(str)]).get_candidate(Loose())




def test_text_form():
    u = Union([Int(), Str()])
    assert repr(u) == "Union([Int(), Str()])"
    assert repr(Union([Int(), Str()], default=3)) == "Union([Int(), Str()], default=3)"
    assert u.skip_user_transform is u
    u.set_transform(str)
    twin = u.skip_user_transform
    assert twin is not u and twin.transform is None and twin.candidates is u.candidates


def test_no_reference_leaks():
    from leaks import assert_no_leak

    def once():
        u = Union([Int(min_value=0), Str(), Object(Base), Probe(None, error=TypeError("x"))])
        for value in (1, "a", Leaf(), -1, 2.5):
            try:
                u.apply(value, root_path=PATH)
            except (TypeError, ValueError):
                pass

    assert_no_leak(once, calls=50)
