"""A spec's apply that a symbolic container refuses changes nothing: not its
binding, its flags, its members or their places, nor the defaults of missing
fields; and a retry is checked again rather than taken as applied. A
tightened `allow_partial` checks the members under the stricter flag. The
element transform of a pass that writes into the container it runs over is
refused, as a sort there is."""

import pytest

import vesk_core._native as native
from helpers import Dict, KeyPath, List, Node, SharedHoldError, scope
from vesk.symbolic.object_classes import object_class

REFUSED = r"Value 500 is out of range \(min=None, max=5\)\."


def list_spec():
    """The first member passes (and is changed by) the element field, the
    second fails it."""
    return native.List(native.Int(max_value=5).set_transform(lambda x: x + 1 if x < 5 else x))


def dict_spec():
    """The first member passes (and is changed by) its field, the second
    fails it, the third is missing and has a default."""
    return native.Dict([("a", native.Int().set_transform(lambda x: x + 1)),
                        ("b", native.Int(max_value=5)), ("c", native.Int(default=3))])


class PlainList(native.SymList):
    def _notify_field_updates(self, updates):
        self.__dict__.setdefault("notified", []).append(updates)


class PlainDict(native.SymDict):
    def _notify_field_updates(self, updates):
        self.__dict__.setdefault("notified", []).extend(updates)


# How each kind is made (its members refused by the spec), its spec, and
# the custom-typed and plain classes.
KINDS = {
    "list": (lambda cls: cls([1, 500]), list_spec, List, PlainList),
    "dict": (lambda cls: cls(a=1, b=500), dict_spec, Dict, PlainDict),
}


def holder(spec):
    return object_class("Holder", [("x", spec)])


def attribute_write(c, noneable):
    obj = holder(noneable)(x=None)
    obj.x = c


# Each road by which a spec meets the container: (container, its spec's
# maker).
ROADS = {
    "use_value_spec": lambda c, spec: c.use_value_spec(spec()),
    "apply": lambda c, spec: spec().apply(c),
    "object construction": lambda c, spec: holder(spec())(x=c),
    "attribute write": lambda c, spec: attribute_write(c, spec().noneable()),
    "typed dict construction": lambda c, spec: Dict(x=c, value_spec=native.Dict([("x", spec())])),
    "union candidate": lambda c, spec: native.Union([spec(), native.Int()]).apply(c),
}


def state(c):
    return (c._value_spec, c._allow_partial, c._topo_parent, c._topo_path,
            dict(c) if isinstance(c, dict) else list(c), c.__dict__.get("notified"))


@pytest.mark.parametrize("road", sorted(ROADS))
@pytest.mark.parametrize("custom", [True, False], ids=["custom-typed", "plain"])
@pytest.mark.parametrize("kind", sorted(KINDS))
def test_a_refused_apply_leaves_the_container_as_it_was_and_a_retry_is_refused(kind, custom, road):
    make, spec, custom_cls, plain_cls = KINDS[kind]
    c = make(custom_cls if custom else plain_cls)
    before = state(c)
    for _ in range(2):
        with pytest.raises(ValueError, match=REFUSED):
            ROADS[road](c, spec)
        assert state(c) == before


@pytest.mark.parametrize("custom", [True, False], ids=["custom-typed", "plain"])
def test_a_refused_dict_apply_takes_back_its_write_backs_and_defaults_and_sends_nothing(custom):
    cls = Dict if custom else PlainDict
    d = cls(a=1, b=500)
    spec = dict_spec()
    with pytest.raises(ValueError, match=REFUSED):
        d.use_value_spec(spec)
    assert dict(d) == {"a": 1, "b": 500} and "notified" not in d.__dict__
    d["b"] = 5
    d.use_value_spec(spec)
    # Once the apply stands, its updates are sent, in write order.
    assert dict(d) == {"a": 2, "b": 5, "c": 3}
    assert [(str(u.path), u.old_value, u.new_value) for u in d.notified[-2:]] == [
        ("a", 1, 2), ("c", native.missing_value_singleton(), 3)]


def test_members_replaced_by_a_refused_pass_get_their_places_back():
    new = []

    def fresh(v):
        if v == 500:
            raise ValueError("not a member")
        new.append(Dict(k=len(new)))
        return new[-1]

    old = Dict(k="old")
    d = Dict(a=old, b=500)
    lst = List([Dict(k="old"), 500])
    item = lst[0]
    with pytest.raises(ValueError, match="not a member"):
        native.Dict([("a", native.Any().set_transform(fresh)),
                     ("b", native.Any().set_transform(fresh))]).apply(d)
    with pytest.raises(ValueError, match="not a member"):
        native.List(native.Any().set_transform(fresh)).apply(lst)
    assert d["a"] is old and old.topo_parent is d and old.topo_path == KeyPath("a")
    assert lst[0] is item and item.topo_parent is lst and item.topo_path == KeyPath(0)
    # What the refused passes placed is free again.
    assert len(new) == 2 and all(n.topo_parent is None for n in new)


def test_a_refused_apply_gives_back_a_child_a_write_back_let_go():
    child = Node("child")
    d = Dict(a=child, b=500)
    assert child.calls[-1] == ("parent", d)
    spec = native.Dict([("a", native.Any().set_transform(lambda v: 7)), ("b", native.Int(max_value=5))])
    with pytest.raises(ValueError, match=REFUSED):
        spec.apply(d)
    assert d["a"] is child and child._topo_parent is d and child._topo_path == KeyPath("a")


class Part:
    """An object whose `sym_partial` says whether it is fully bound."""

    __vesk_maybe_partial__ = True

    def __init__(self, partial):
        self.sym_partial = partial


PARTS = {
    "dict": (lambda cls, part, **kw: cls({"a": part}, **kw),
             lambda: native.Dict([("a", native.Object(Part))]), Dict, PlainDict),
    "list": (lambda cls, part, **kw: cls([part], **kw),
             lambda: native.List(native.Object(Part), auto_wrap=False), List, PlainList),
}


@pytest.mark.parametrize("custom", [True, False], ids=["custom-typed", "plain"])
@pytest.mark.parametrize("kind", sorted(PARTS))
def test_a_tightened_allow_partial_checks_the_members_and_a_refused_one_keeps_the_flag(kind, custom):
    make, spec_of, custom_cls, plain_cls = PARTS[kind]
    spec = spec_of()
    c = make(custom_cls if custom else plain_cls, Part(True), value_spec=spec, allow_partial=True)
    for tighten in [lambda: c.use_value_spec(spec, allow_partial=False),
                    lambda: spec.apply(c, allow_partial=False)] * 2:
        with pytest.raises(ValueError, match="is not fully bound"):
            tighten()
        assert c._allow_partial
    spec.apply(c, allow_partial=True)


@pytest.mark.parametrize("kind", sorted(PARTS))
def test_a_member_stored_under_a_looser_scope_is_checked_by_a_strict_apply(kind):
    make, spec_of, cls, _ = PARTS[kind]
    spec = spec_of()
    c = make(cls, Part(False), value_spec=spec)
    with scope(native._FLAG_ALLOW_PARTIAL, True):
        if kind == "dict":
            c["a"] = Part(True)
        else:
            c.append(Part(True))
    assert not c._allow_partial
    for _ in range(2):
        with pytest.raises(ValueError, match="is not fully bound"):
            spec.apply(c)
    # Once the members pass, a strict apply takes them as applied again.
    if kind == "dict":
        c["a"] = Part(False)
    else:
        c.pop()
    spec.apply(c)


def test_plain_members_stored_under_a_looser_scope_stay_applied():
    seen = []
    spec = native.List(native.Int().set_transform(lambda x: seen.append(x) or x))
    c = List([1], value_spec=spec)
    with scope(native._FLAG_ALLOW_PARTIAL, True):
        c.extend([2])
        c.append(3)
    seen.clear()
    spec.apply(c)
    assert seen == [] and c == [1, 2, 3]


# Writes an element transform makes into the very list its pass runs over.
LIST_WRITES = {
    "insert": lambda c: c.insert(0, 7),
    "append": lambda c: c.append(7),
    "pop": lambda c: c.pop(0),
    "del": lambda c: c.__delitem__(0),
    "clear": lambda c: c.clear(),
    "index write": lambda c: c.__setitem__(1, 7),
    "slice": lambda c: c.__setitem__(slice(0, 1), [7]),
    "extend": lambda c: c.extend([7]),
    "remove": lambda c: c.remove(102),
    "seam": lambda c: c._set_item_without_permission_check(1, 7),
    "sort": lambda c: c.sort(),
}
DICT_WRITES = {
    "item write": lambda c: c.__setitem__("b", 7),
    "new key": lambda c: c.__setitem__("z", 7),
    "delete": lambda c: c.__delitem__("b"),
    "seam": lambda c: c._set_item_without_permission_check("b", 7),
}


@pytest.mark.parametrize("cls", [List, PlainList])
@pytest.mark.parametrize("write", sorted(LIST_WRITES))
def test_a_write_into_a_list_from_its_own_pass_is_refused(cls, write):
    c = cls([101, 102, 103])
    seen = []

    def minus(x):
        if x == 101:
            with pytest.raises(RuntimeError, match="Already mutably borrowed"):
                LIST_WRITES[write](c)
            assert list(c) == [101, 102, 103]
        seen.append(x)
        return x - 100

    native.List(native.Int().set_transform(minus)).apply(c, allow_partial=True)
    assert list(c) == [1, 2, 3] and seen == [101, 102, 103]


@pytest.mark.parametrize("cls", [Dict, PlainDict])
@pytest.mark.parametrize("write", sorted(DICT_WRITES))
@pytest.mark.parametrize("schema", ["constant keys", "open"])
def test_a_write_into_a_dict_from_its_own_pass_is_refused(cls, write, schema):
    c = cls(a=101, b=102)

    def minus(x):
        if x == 101:
            with pytest.raises(RuntimeError, match="Already mutably borrowed"):
                DICT_WRITES[write](c)
            assert dict(c) == {"a": 101, "b": 102}
        return x - 100

    value = native.Int().set_transform(minus)
    fields = [("a", value), ("b", value), ("z", native.Int(default=0))]
    if schema == "open":
        fields = [(native.StrKey(), value)]
    native.Dict(fields).apply(c, allow_partial=True)
    assert {k: c[k] for k in "ab"} == {"a": 1, "b": 2}


def test_a_member_bound_by_a_refused_pass_is_given_back_too():
    inner = native.Dict([("x", native.Int().set_transform(lambda v: v + 1))])
    lst = List([Dict(x=1), 500])
    member = lst[0]
    with pytest.raises(TypeError, match="encountered <class 'int'>: 500"):
        native.List(inner).apply(lst)
    assert member._value_spec is None and dict(member) == {"x": 1} and member.topo_parent is lst
    # A pass that stands keeps what it did to its members.
    lst[1] = Dict(x=5)
    native.List(inner).apply(lst)
    assert member._value_spec is inner and [dict(m) for m in lst] == [{"x": 2}, {"x": 6}]


def changing_spec():
    """Changes a dictionary it passes: binds it, replaces its member with
    the transform's result and fills a missing default."""
    return native.Dict([("a", native.Any().set_transform(lambda v: "T")),
                        ("f", native.Int(default=4))])


def record_seam(cls, **kwargs):
    """A record built step by step, as the package's Python driver does."""
    inst, names = cls.__new__(cls), list(cls.__slot_field_names__)
    native._slot_record_init_node_state(inst)
    native._slot_record_construct(inst, names, kwargs)
    native._slot_record_adopt_children(inst, names)
    return inst


# Each construction that applies its fields' specs to its arguments before
# it holds them: (the class's options, or None for a typed dict; how it is
# called).
CONSTRUCTIONS = {
    "compiled fill": ({}, lambda cls, **kw: cls(**kw)),
    "schema road": ({"compiled": False}, lambda cls, **kw: cls(**kw)),
    "native tp_init": ({"native_slots": True}, lambda cls, **kw: cls(**kw)),
    "record": ({"slots": True}, lambda cls, **kw: cls(**kw)),
    "record seam": ({"slots": True}, record_seam),
    "typed dict": (None, lambda spec, **kw: PlainDict(value_spec=spec, **kw)),
}


# How the changed container is given: as it is, or inside a raw container
# the construction wraps (the spec of its field, the value given).
GIVEN = {
    "as it is": (changing_spec, lambda d: d),
    "in a raw list": (lambda: native.List(changing_spec()), lambda d: [d]),
    "in a raw dict": (lambda: native.Dict([("k", changing_spec())]), lambda d: {"k": d}),
}


@pytest.mark.parametrize("given", sorted(GIVEN))
@pytest.mark.parametrize("road", sorted(CONSTRUCTIONS))
def test_a_refused_construction_gives_back_the_containers_it_was_given(road, given):
    options, construct = CONSTRUCTIONS[road]
    field_spec, give = GIVEN[given]
    fields = [("x", field_spec()), ("y", native.Int(max_value=5))]
    made = native.Dict(fields) if options is None else object_class("Ob", fields, **options)
    child = Node("child")
    d = Dict(a=child)
    calls = list(child.calls)
    for _ in range(2):
        with pytest.raises(Exception, match=REFUSED):
            construct(made, x=give(d), y=500)
        assert d._value_spec is None and dict(d) == {"a": child} and d.topo_parent is None
        assert child._topo_parent is d and child._topo_path == KeyPath("a")
        assert "notified" not in d.__dict__
    # One that stands keeps what its spec did, lets the replaced member go
    # and tells the dictionary once.
    built = construct(made, x=give(d), y=5)
    assert d._value_spec is not None and dict(d) == {"a": "T", "f": 4}
    if given == "as it is":
        assert d.topo_parent is built
    assert child._topo_parent is None and child.calls[len(calls):][-2] == ("parent", None)
    assert [(u.old_value, u.new_value) for u in d.notified] == [
        (child, "T"), (native.missing_value_singleton(), 4)]


def open_changing_spec():
    """As `changing_spec`, and takes any other key as it is."""
    return native.Dict([("a", native.Any(default=None).set_transform(lambda v: "T")),
                        ("f", native.Int(default=4)), (native.StrKey(), native.Any())])


def object_write(spec, value):
    obj = holder(spec.noneable())(x=None)
    obj.x = value
    return obj


# Each road that applies a field's spec to the one value it is given and
# may still refuse it after: (the node it writes into, made from the
# field's spec, or None for a construction; the write).
SINGLE_WRITES = {
    "append": (lambda s: List([], value_spec=native.List(s)), lambda n, v: n.append(v)),
    "insert": (lambda s: List([], value_spec=native.List(s)), lambda n, v: n.insert(0, v)),
    "index write": (lambda s: List([{}], value_spec=native.List(s)),
                    lambda n, v: n.__setitem__(0, v)),
    "list seam": (lambda s: List([{}], value_spec=native.List(s)),
                  lambda n, v: n._set_item_without_permission_check(0, v)),
    "slice": (lambda s: List([{}], value_spec=native.List(s)),
              lambda n, v: n.__setitem__(slice(0, 1), [v])),
    "attribute write": (lambda s: holder(s.noneable())(x=None), lambda n, v: setattr(n, "x", v)),
    "record field write": (lambda s: object_class("Rec", [("x", s.noneable())], slots=True)(x=None),
                           lambda n, v: n._sym_attributes.__setitem__("x", v)),
    "typed dict key write": (lambda s: Dict(value_spec=native.Dict([("x", s.noneable())])),
                             lambda n, v: n.__setitem__("x", v)),
    "dict seam": (lambda s: Dict(value_spec=native.Dict([("x", s.noneable())])),
                  lambda n, v: n._set_item_without_permission_check("x", v)),
    "object construction": (None, lambda s, v: holder(s)(x=v)),
    "typed dict construction": (None, lambda s, v: Dict(x=v, value_spec=native.Dict([("x", s)]))),
}
# How the write is refused once the spec has changed the value `d`: (what
# the refusal raises, how `d` is set up against the node, answering the
# dictionary and key whose deletion lifts the refusal).
REFUSALS = {
    "held elsewhere": (SharedHoldError, lambda d, node: (Dict(k=d), "k")),
    "cycle": (ValueError, lambda d, node: (d.__setitem__("z", node), (d, "z"))[1]),
}


@pytest.mark.parametrize("road, refusal", [
    (road, refusal) for road in sorted(SINGLE_WRITES) for refusal in sorted(REFUSALS)
    # A node under construction is below no value.
    if SINGLE_WRITES[road][0] or refusal != "cycle"])
def test_a_write_refused_after_its_spec_ran_gives_back_the_value_it_was_given(road, refusal):
    make, write = SINGLE_WRITES[road]
    error, set_up = REFUSALS[refusal]
    spec = open_changing_spec()
    node = make(spec) if make else spec
    child = Node("child")
    d = Dict(a=child)
    holding, key = set_up(d, node)
    state = lambda: (d._value_spec, dict(d), d.topo_parent, d.topo_path,
                     d.__dict__.get("notified"), child._topo_parent, child._topo_path)
    before = state()
    for _ in range(2):
        with pytest.raises(error):
            write(node, d)
        assert state() == before
    # Refused no more, the write keeps what its spec did and tells the
    # value once.
    del holding[key]
    told = len(d.__dict__.get("notified", []))
    write(node, d)
    assert d._value_spec is not None and dict(d) == {"a": "T", "f": 4}
    assert [(u.old_value, u.new_value) for u in d.notified[told:]] == [
        (child, "T"), (native.missing_value_singleton(), 4)]
