"""A member passes its field's transform exactly once on its way into a
symbolic list or dict, on every construction road and on the spec's
write-back, as it does through `append`, an item write and `spec.apply`. A
transform that is not idempotent shows every extra run."""

import pytest

import vesk_core._native as native
from fresh import run_fresh
from helpers import Dict, Insertion, List, child_transform_mode, scope  # noqa: F401  (a fixture)
from vesk.symbolic.object_classes import object_class

# With the stand-in's child transform (the element field applies each
# member) and without one (the element's value spec does).
both_roads = pytest.mark.usefixtures("child_transform_mode")


class Times10:
    """The transform `x * 10`, recording what it was given."""

    def __init__(self):
        self.seen = []

    def __call__(self, x):
        self.seen.append(x)
        return x * 10


def ints(t, **kwargs):
    return native.Int(**kwargs).set_transform(t)


# Containers whose class declares no custom typing: the spec's apply walks
# their members itself, with no `custom_apply` to bind first.
class PlainList(native.SymList):
    def _notify_field_updates(self, updates):
        pass


class PlainDict(native.SymDict):
    def _notify_field_updates(self, updates):
        pass


@both_roads
@pytest.mark.parametrize("cls", [List, PlainList])
@pytest.mark.parametrize("auto_wrap", [True, False])
@pytest.mark.parametrize("wrap", [True, False])
@pytest.mark.parametrize("item", [4, Insertion(4)], ids=["value", "marker"])
def test_list_construction_roads(cls, auto_wrap, wrap, item):
    t = Times10()
    # The bound is met only by a value transformed once.
    spec = native.List(ints(t, max_value=100), auto_wrap=auto_wrap)
    assert list(cls([item], value_spec=spec, wrap=wrap)) == [40] and t.seen == [4]
    t.seen.clear()
    assert spec.apply([4]) == [40] and t.seen == [4]

    built = cls([1], value_spec=spec, wrap=wrap)
    # A class without custom typing keeps only a spec bound before its items.
    assert built.value_spec is (spec if cls is List or not auto_wrap else None)
    if built.value_spec is spec:
        t.seen.clear()
        built.append(4)
        built[0] = 5
        assert list(built) == [50, 40] and t.seen == [4, 5]


@both_roads
def test_binding_a_spec_to_members_already_held():
    t = Times10()
    held = List([4])
    assert list(held.use_value_spec(native.List(ints(t)))) == [40] and t.seen == [4]
    # Members held before a construction under a spec that binds first are
    # applied by it; its own members only as they are formalized.
    t.seen.clear()
    lst = PlainList([4])
    lst.__init__([5], value_spec=native.List(ints(t), auto_wrap=False))
    assert lst == [40, 50] and sorted(t.seen) == [4, 5]


@both_roads
@pytest.mark.parametrize("cls", [Dict, PlainDict])
@pytest.mark.parametrize("auto_wrap", [True, False])
@pytest.mark.parametrize("road", ["fused or single pass", "single pass", "general"])
def test_dict_construction_roads(cls, auto_wrap, road):
    t = Times10()
    fields = [("a", ints(t, max_value=100))]
    if road == "single pass":
        fields.append(("b", native.Int(default=3)))
    if road == "general":
        fields.append((native.StrKey(), native.Int()))
    spec = native.Dict(fields, auto_wrap=auto_wrap)
    d = cls({"a": 4}, value_spec=spec)
    assert d["a"] == 40 and t.seen == [4]
    assert d.get("b", 3) == 3   # a default is filled on every road
    t.seen.clear()
    assert spec.apply({"a": 4})["a"] == 40 and t.seen == [4]


def test_a_general_construction_under_a_spec_bound_first_applies_its_members():
    spec = native.Dict([("n", native.Int(default=3)), (native.StrKey(), native.Int())],
                       auto_wrap=False)
    with pytest.raises(TypeError, match=r"Expect <class 'int'> but encountered <class 'str'>"):
        Dict({"a": "x"}, value_spec=spec)
    assert Dict({"a": 1}, value_spec=spec) == {"a": 1, "n": 3}


@both_roads
def test_dict_write_back_and_nested_containers():
    t = Times10()
    held = Dict({"a": 4})
    held.use_value_spec(native.Dict([("a", ints(t))]))
    outer = Dict({"xs": [4], "d": {"a": 4}},
                 value_spec=native.Dict([("xs", native.List(ints(t))),
                                         ("d", native.Dict([("a", ints(t))]))]))
    nested = List([[4]], value_spec=native.List(native.List(ints(t))))
    assert (held["a"], outer["xs"], outer["d"]["a"], nested[0]) == (40, [40], 40, [40])
    assert t.seen == [4] * 4


def test_object_field_write():
    t = Times10()
    Holder = object_class("Holder", [("xs", native.List(ints(t)))], native_slots=True)
    holder = Holder(xs=[4])
    holder.xs = [5]
    assert holder.xs == [50] and t.seen == [4, 5]


@both_roads
def test_a_written_back_value_is_wrapped_and_adopted():
    seen = []

    def boxed(x):
        seen.append(x)
        return {"v": x}

    lst = List([4], value_spec=native.List(native.Any(transform=boxed)))
    assert type(lst[0]) is Dict and lst[0] == {"v": 4} and seen == [4]
    assert lst[0].topo_parent is lst and str(lst[0].topo_path) == "[0]"


@both_roads
def test_the_validator_sees_the_value_once_transformed():
    seen = []

    def no_40(x):
        seen.append(x)
        if x == 40:
            raise ValueError("no 40")

    spec = native.List(native.Int().set_transform(lambda x: x * 10))
    spec.element.set_validator(no_40)
    for wrap in (True, False):
        seen.clear()
        with pytest.raises(ValueError, match=r"^no 40 \(path=\[0\]\)$"):
            List([4], value_spec=spec, wrap=wrap)
        assert List([5], value_spec=spec, wrap=wrap) == [50] and seen[-1] == 50


def test_the_element_field_applies_each_member_once():
    # The element field's own `apply`, as a field class of the package's
    # sees it: once per member where the write-back used to apply it again.
    run_fresh("""
        import vesk_core._native as native
        import vesk.typing, vesk.symbolic
        seen = []

        class CountingField:
            def __init__(self, *args, **kwargs):
                object.__setattr__(self, "_field", native.Field(*args, **kwargs))

            def __getattr__(self, name):
                return getattr(self._field, name)

            def apply(self, value, *args, **kwargs):
                seen.append(value)
                return self._field.apply(value, *args, **kwargs)

        native._install_typing_bridge(**{**vesk.typing.bridge_handles(),
                                         "field_cls": CountingField})
        vesk.symbolic.install()
        from vesk.symbolic.containers import List

        spec = native.List(native.Int().set_transform(lambda x: x * 10))
        assert List([4, 5], value_spec=spec) == [40, 50] and seen == [4, 5], seen
        seen.clear()
        aw_off = native.List(native.Int().set_transform(lambda x: x * 10), auto_wrap=False)
        assert List([4], value_spec=aw_off) == [40] and seen == [4], seen
    """)


def _keep(path, field, value):
    return value


def _const(spec):
    return native.Dict([("a", spec)])


def _open(spec):
    return native.Dict([(native.StrKey(), spec)])


# A container bound to a spec, and the spec of the same shape around another
# element: applied from outside, it is not the container's own.
BOUND = {
    "plain dict": (lambda s: PlainDict({"a": 1}, value_spec=_const(s)), _const),
    "dict": (lambda s: Dict({"a": 1}, value_spec=_const(s)), _const),
    "open dict": (lambda s: Dict({"a": 1}, value_spec=_open(s)), _open),
    "plain list": (lambda s: PlainList([1], value_spec=native.List(s, auto_wrap=False)),
                   native.List),
    "list": (lambda s: List([1], value_spec=native.List(s)), native.List),
}


def _members(c):
    return list(c.values()) if isinstance(c, dict) else list(c)


# With a child transform the foreign field applies each member, without one
# its value spec does; either way the container's own field has the last
# word on what it stores. A different `allow_partial` makes a custom-typed
# container's `custom_apply` let the foreign spec proceed.
@pytest.mark.parametrize("child_transform", [None, _keep], ids=["by spec", "by field"])
@pytest.mark.parametrize("make, shaped", BOUND.values(), ids=BOUND.keys())
def test_a_foreign_specs_write_back_meets_the_containers_own_field(make, shaped,
                                                                  child_transform):
    c = make(native.Int(max_value=5))
    foreign = shaped(native.Int().set_transform(lambda x: x * 100))
    with pytest.raises(ValueError, match="Value 100 is out of range"):
        foreign.apply(c, allow_partial=True, child_transform=child_transform)
    assert _members(c) == [1]


@pytest.mark.parametrize("kind", ["plain dict", "plain list"])
def test_a_foreign_spec_cannot_store_a_type_the_bound_field_refuses(kind):
    make, shaped = BOUND[kind]
    c = make(native.Int())
    with pytest.raises(TypeError, match="Expect <class 'int'> but encountered <class 'float'>"):
        shaped(native.Float()).apply(c)
    assert _members(c) == [1] and type(_members(c)[0]) is int


def test_a_python_field_class_keeps_its_validator_on_a_spec_applied_write_back():
    # The package's field class wrapping a native Field: a member its value
    # spec applied meets the wrapper's validator, as a direct write does.
    run_fresh("""
        import vesk_core._native as native
        import vesk.typing, vesk.symbolic

        class PyField:
            def __init__(self, *args, **kwargs):
                object.__setattr__(self, "_field", native.Field(*args, **kwargs))

            def __getattr__(self, name):
                return getattr(self._field, name)

            def apply(self, value, *args, **kwargs):
                return self._field.apply(value, *args, **kwargs)

        native._install_typing_bridge(**{**vesk.typing.bridge_handles(), "field_cls": PyField})
        vesk.symbolic.install()
        from vesk.symbolic.containers import List

        def at_most_10(x):
            if x > 10:
                raise ValueError("too big")

        S = native.Int().set_transform(lambda x: x + 20)

        def bound(**kwargs):
            spec = native.List(S, **kwargs)
            spec.element.set_validator(at_most_10)
            return spec

        def refused(apply, c, held):
            try:
                apply(c)
            except ValueError as e:
                assert str(e) == "too big (path=[0])", e
            else:
                raise AssertionError(c)
            assert c == held, c

        # A foreign spec sharing the element spec, the bound spec itself, and
        # a spec bound to members already held.
        refused(lambda c: native.List(S).apply(c, allow_partial=True),
                List([-15], value_spec=bound()), [5])
        refused(lambda c: c.value_spec.apply(c, allow_partial=True),
                List([-15], value_spec=bound()), [5])
        refused(lambda c: c.use_value_spec(bound(auto_wrap=False)), List([-5]), [-5])
        assert List([-12]).use_value_spec(bound(auto_wrap=False)) == [8]
    """)


class Part:
    """An object whose `sym_partial` says whether it is fully bound."""

    __vesk_maybe_partial__ = True

    def __init__(self, partial):
        self.sym_partial = partial


# A container bound to an Object spec whose transform makes an object not
# fully bound once `made["partial"]` is set, and the spec applied to it.
def _partial_case(case, made):
    spec = native.Object(Part).set_transform(lambda v: Part(made["partial"]))
    d, lst = native.Dict([("a", spec)]), native.List(spec, auto_wrap=False)
    if case == "list, bound spec":
        return PlainList([Part(False)], value_spec=lst), lst
    cls = Dict if case == "custom-typed dict" else PlainDict
    return cls({"a": Part(False)}, value_spec=d), native.Dict(d.schema) if "schema" in case else d


@pytest.mark.parametrize("case", ["dict, bound spec", "dict, its schema", "list, bound spec",
                                  "custom-typed dict"])
def test_a_member_applied_under_allow_partial_meets_a_container_that_refuses_it(case):
    made = {"partial": False}
    c, spec = _partial_case(case, made)
    made["partial"] = True
    if case == "custom-typed dict":   # takes the caller's flag as its own
        spec.apply(c, allow_partial=True)
        assert _members(c)[0].sym_partial and c._allow_partial
        return
    with pytest.raises(ValueError, match=r"Object .* is not fully bound\."):
        spec.apply(c, allow_partial=True)
    assert not _members(c)[0].sym_partial
    with scope(native._FLAG_ALLOW_PARTIAL, True):   # the container's effective flag allows it
        spec.apply(c, allow_partial=True)
    assert _members(c)[0].sym_partial


def test_a_primitive_applied_under_allow_partial_is_applied_once():
    t = Times10()
    c = PlainDict({"a": 1}, value_spec=native.Dict([("a", ints(t))]))
    t.seen.clear()
    c._value_spec.apply(c, allow_partial=True)
    assert c["a"] == 100 and t.seen == [10]
