"""Dict specs and schemas accept plain dicts through shortcuts (the constant-key bulk
check, its element rule inside a List, the constant road's funnel and size test) that
never change a result, message or exception. The references: a dict/list subclass
forces the general road; for inputs the two roads order differently (extra keys, more
than one fault) the same plain dict with every shortcut switched off."""

import copy
import threading

import pytest
from hypothesis import given, settings, strategies as st

import vesk_core._native as native
from leaks import assert_no_leak
from races import run_against_mutator

seams = pytest.importorskip("vesk_core._typing_seams")

Any, Bool, Float, Int, Str, Union = (native.Any, native.Bool, native.Float, native.Int,
                                     native.Str, native.Union)
Dict, Field, List, Schema = native.Dict, native.Field, native.List, native.Schema
BORROWED = ("Already mutably borrowed", "Already borrowed")
REFUSED = "Cannot mutate this object while another operation holds it"


class PlainDict(dict):
    pass


class PlainList(list):
    pass


class EqKey:
    """Not a str, but hashes and compares like one."""

    def __init__(self, text):
        self.text = text

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        return other == self.text

    def __repr__(self):
        return f"EqKey({self.text!r})"


class StrKey(str):
    """A str subclass: counts as a str key."""


def full_road(value):
    if type(value) is dict:
        return PlainDict((k, full_road(v)) for k, v in value.items())
    if type(value) is list and value and all(type(v) is dict for v in value):
        return PlainList(full_road(v) for v in value)
    return value


def shape(value):
    if isinstance(value, dict):
        return ("map", sorted(((repr(k), shape(v)) for k, v in value.items())))
    if isinstance(value, (list, tuple)):
        return ("seq", [shape(v) for v in value])
    return (type(value), value)


APPLYING = []  # the data an outcome is applying, for the transforms that edit it


def edit_applied(change):
    """A transform that changes the dict being applied (the first one of a list)."""

    def transform(v):
        target = APPLYING[-1]
        change(target[0] if isinstance(target, list) else target)
        return v

    return transform


def outcome(spec, value, **kwargs):
    data = copy.deepcopy(value)
    APPLYING[:] = [data]
    try:
        return "ok", shape(spec.apply(data, **kwargs)), shape(data)
    except Exception as e:  # noqa: BLE001 - the class and message are compared
        text = str(e).replace(f"{__name__}.PlainDict", "dict")
        return "raised", type(e), text.replace(f"{__name__}.PlainList", "list")


def shortcuts(on):
    seams.set_shortcuts(native.__file__, on)


def without_shortcuts(spec, value, **kwargs):
    shortcuts(False)
    try:
        return outcome(spec, value, **kwargs)
    finally:
        shortcuts(True)


# (spec maker, a value it accepts as it is); faults come from BAD
FIELDS = [
    (lambda: Int(), 7),
    (lambda: Int(min_value=0), 3),
    (lambda: Float(), 2.5),
    (lambda: Float().noneable(), None),
    (lambda: Str(), "s"),
    (lambda: Str(regex="a.*"), "ab"),
    (lambda: Bool(), True),
    (lambda: Int().noneable(), 1),
    (lambda: List(Str()), ["a", "b"]),
    (lambda: List(Int(), max_size=2), [1]),
    (lambda: Union([Int(), Str()]), "u"),
    (lambda: Any(), (1, 2)),
    (lambda: Int(default=5), 6),
    (lambda: List(native.Tuple([Int(), Str()])), [(1, "a")]),
    (lambda: List(Union([Int(), Str()]).noneable()), [1, None, "a"]),
    (lambda: Int().set_transform(edit_applied(lambda d: d.pop("a", None))), 1),
    (lambda: Int().set_transform(edit_applied(lambda d: d.update(z=0))), 1),
]
EDITS = {len(FIELDS) - 2, len(FIELDS) - 1}  # the roads check these edits at other times
BAD = [None, "x", 1, 1.5, True, -1, 10**30, ["a", 2], [1, 2, 3], {"k": 1}, [(1, 2)], [1.5],
       "missing"]
KEYS = "abcd"

fields = st.lists(st.tuples(st.sampled_from(range(len(FIELDS))),
                            st.one_of(st.none(), st.sampled_from(BAD))),
                  min_size=1, max_size=4)
extras = st.lists(st.sampled_from(["z", "y", StrKey("x"), EqKey("a"), EqKey("q"), 3]),
                  max_size=2, unique_by=repr)


def build(picked, extra):
    """(Dict spec, plain dict, number of values that are not the accepted one)."""
    pairs, d, faults = [], {}, 0
    for key, (index, bad) in zip(KEYS, picked):
        make, good = FIELDS[index]
        pairs.append((key, make()))
        if bad == "missing":
            faults += 1
        elif bad is not None:
            d[key] = copy.deepcopy(bad)
            faults += 1
        else:
            d[key] = copy.deepcopy(good)
    for k in extra:
        d[k] = 0
    return Dict(pairs), d, faults


def good_record(picked):
    return {key: copy.deepcopy(FIELDS[index][1]) for key, (index, _) in zip(KEYS, picked)}


@settings(max_examples=400, deadline=None)
@given(picked=fields, extra=extras, inplace=st.booleans(), in_list=st.booleans(),
       lead=st.integers(0, 3))
def test_the_shortcuts_answer_like_the_full_road(picked, extra, inplace, in_list, lead):
    spec, d, faults = build(picked, extra)
    # records the shortcut accepts before the one it cannot: the full road takes over there
    value = [good_record(picked) for _ in range(lead)] + [d, copy.deepcopy(d)] if in_list else d
    if in_list:
        spec = List(spec)
    got = outcome(spec, value, inplace=inplace)
    assert got == without_shortcuts(spec, value, inplace=inplace)
    # a key that is not a str sends a plain dict to the general road too
    general = any(not isinstance(k, str) for k in d)
    edits = any(index in EDITS for index, _ in picked)
    if not edits and (general or (not extra and faults <= 1)):
        reference = outcome(spec, full_road(value), inplace=inplace)
        if in_list and not inplace:
            # a list subclass is worked on directly, whatever `inplace` says
            got, reference = got[:2], reference[:2]
        assert got == reference


@pytest.mark.parametrize("make", [
    lambda: Dict([("a", Int())]),
    lambda: Schema([Field("a", Int())]),
    lambda: List(Dict([("a", Int())])),
])
@pytest.mark.parametrize("value, refused", [
    ({EqKey("a"): 1}, True),
    ({"a": 1, 1.0: 1}, True),
    ({StrKey("a"): 1}, False),  # a str subclass counts as the constant key
])
def test_only_str_keys_can_be_constant_keys(make, value, refused):
    spec = make()
    value = [value] if type(spec) is List else value
    if refused:
        with pytest.raises(KeyError, match="are not allowed in Schema"):
            spec.apply(value)
    else:
        assert spec.apply(value) is value
    assert outcome(spec, value) == outcome(spec, full_road(value))


CHANGES = {"pop": lambda d: d.pop("a"), "add": lambda d: d.update(z=0)}


@pytest.mark.parametrize("change", ["pop", "add"])
@pytest.mark.parametrize("where", ["transform", "default_factory", "validator"])
def test_user_code_that_changes_the_dict_is_checked_on_every_key(change, where):
    edit = edit_applied(CHANGES[change])
    d = {"a": 1, "z": 3} if change == "pop" else {"a": 1}
    b = Int()
    if where == "transform":
        b, d["b"] = Int().set_transform(edit), 2
    elif where == "default_factory":
        b = Int(default_factory=lambda: edit(2))
    fields = [Field("a", Int()), Field("b", b)]
    if where == "validator":
        fields[1].set_validator(edit)
        d["b"] = 2
    spec = Dict(Schema(fields))
    # the extra key that the field's code left or added is refused
    expect = ("raised", KeyError, "\"Keys ['z'] are not allowed in Schema. (parent='')\"")
    assert outcome(spec, d) == without_shortcuts(spec, d) == expect


class Mapping:
    """A mapping that is not a dict."""

    def __init__(self, data):
        self.data = data

    def keys(self):
        return list(self.data)

    def get(self, k, default=None):
        return self.data.get(k, default)

    def __contains__(self, k):
        return k in self.data

    def __setitem__(self, k, v):
        self.data[k] = v


def test_a_mapping_that_is_not_a_dict_gets_new_keys_but_cannot_have_held_ones_read():
    m = Mapping({"b": 2.0})
    with pytest.raises(TypeError, match="dict_obj"):
        Schema([Field("a", Int(default=1)), Field("b", Float())]).apply(m)
    # the missing key went in through item assignment; the held one was refused
    assert m.data == {"b": 2.0, "a": 1}


# --- the container-aware bulk check ------------------------------------------------


def tagged():
    tags = List(Str())
    return tags, Dict([("id", Int()), ("tags", tags), ("ok", Bool())])


def test_a_list_field_of_exact_leaves_is_accepted_whole():
    _, spec = tagged()
    data = [{"id": i, "tags": ["a", "b"], "ok": True} for i in range(3)]
    out = List(spec).apply(data)
    assert out is data and all(a is b for a, b in zip(out, data))
    assert spec.apply(data[0]) is data[0]
    # Without inplace, what the schema's own apply gives: a new dict (a list field has
    # no exact class to check), holding the very list its field takes whole.
    out = List(spec).apply(data, inplace=False)
    assert out == data and out is not data
    assert all(a is not b and a["tags"] is b["tags"] for a, b in zip(out, data))
    one = spec.apply(data[0], inplace=False)
    assert one == data[0] and one is not data[0] and one["tags"] is data[0]["tags"]


@pytest.mark.parametrize("value", [
    {"ok": True, "tags": ["a"], "id": 1},  # another key order: looked up
    {StrKey("id"): 1, "tags": ["a"], "ok": True},
    {"ok": True, "tags": ["a", True], "id": 1},
])
def test_the_bulk_check_declines_or_looks_keys_up_as_the_full_road_would(value):
    _, spec = tagged()
    data = [value]
    assert outcome(List(spec), data) == without_shortcuts(List(spec), data)
    assert outcome(List(spec), data) == outcome(List(spec), full_road(data))


def test_the_list_field_is_read_as_it_is_now():
    tags, spec = tagged()
    data = [{"id": 1, "tags": ["a"], "ok": True}]
    assert List(spec).apply(data) is data
    tags.set_transform(lambda v: v + ["added"])
    out = List(spec).apply(data, inplace=False)
    assert out[0]["tags"] == ["a", "added"]
    tags.set_transform(None)
    bounded = Dict([("tags", List(Str(), min_size=2))])
    with pytest.raises(ValueError, match="min size"):
        bounded.apply({"tags": ["a"]})


def test_a_bounded_leaf_refused_by_the_native_check_names_its_path():
    spec = List(Dict([("n", Int(min_value=0))]))
    data = [{"n": 1}, {"n": -1}]
    got = outcome(spec, data)
    assert got[0] == "raised" and "(path=[1].n)" in got[2]
    assert got == without_shortcuts(spec, data) == outcome(spec, full_road(data))


def test_the_new_rules_and_checks_hold_no_reference_beyond_the_call():
    tags, spec = tagged()
    union, pairs = List(Union([Int(), Str()]).noneable()), List(native.Tuple([Int(), Str()]))
    sparse = List(Dict([("f", Float().noneable()), ("n", Int(min_value=0))]))

    def once():
        List(spec).apply([{"id": 1, "tags": ["a"], "ok": True}, {"ok": True, "tags": [], "id": 2}])
        union.apply([1, None, "a"]), pairs.apply([(1, "a")]), sparse.apply([{"f": None, "n": 1}])
        for bad in ([{"id": 1, "tags": ["a", 2], "ok": True}], [{EqKey("id"): 1}],
                    [{"f": 1.0, "n": -1}]):
            with pytest.raises((TypeError, KeyError, ValueError)):
                (sparse if "f" in bad[0] else List(spec)).apply(bad)

    assert_no_leak(once)


# --- validate_fields_native ----------------------------------------------------------


def validate_fields(schema, source, allow_partial=False, transform=None, root_path=None,
                    symbolic_default=True, skip_validation=False, no_child_paths=False,
                    child_paths_for_transform=True):
    return seams.validate_fields_native(
        native.__file__, schema, source, allow_partial, transform, root_path,
        symbolic_default, skip_validation, no_child_paths, child_paths_for_transform)


def test_validate_fields_native_builds_a_new_dict_of_field_values():
    s = Schema([Field("a", Int()), Field("f", Float()), Field("d", Str(default="x")),
                Field("t", List(Str()))])
    source = {"t": ["q"], "f": 1, "a": 2}
    out, all_scalar = validate_fields(s, source)
    assert out == {"a": 2, "f": 1.0, "d": "x", "t": ["q"]} and type(out["f"]) is float
    assert list(out) == ["a", "f", "d", "t"] and out is not source and all_scalar
    assert source == {"t": ["q"], "f": 1, "a": 2}
    # a required key left out stays out without allow_partial, and is applied with it
    out, _ = validate_fields(s, {"f": 1.0})
    assert "a" not in out
    out, all_scalar = validate_fields(s, {"f": 1.0}, allow_partial=True)
    assert type(out["a"]).__name__ == "MissingValue" and not all_scalar
    out, _ = validate_fields(s, {"a": "not checked", "f": 1}, skip_validation=True)
    assert out["a"] == "not checked" and out["f"] == 1


@pytest.mark.parametrize("source, options, exc, text", [
    ({"a": 1, "z": 0}, {}, KeyError, "Keys ['z'] are not allowed"),
    ({"a": -1}, {}, ValueError, "(path=p.a)"),
    ({"a": -1}, {"no_child_paths": True}, ValueError, "(path=)"),  # checked without a path
    ([("a", 1)], {}, TypeError, "source"),
])
def test_validate_fields_native_refusals(source, options, exc, text):
    s = Schema([Field("a", Int(min_value=0))])
    with pytest.raises(exc) as info:
        validate_fields(s, source, root_path=native.KeyPath("p"), **options)
    assert text in str(info.value)


def test_validate_fields_native_of_an_open_schema_and_its_fallback():
    s = Schema([Field("a", Int(default=0)), Field(native.StrKey(), Int()), Field("b", Int())],
               allow_nonconst_keys=True)
    out, all_scalar = validate_fields(s, {"x": 1, "b": 2, "a": 3})
    assert list(out.items()) == [("a", 3), ("b", 2), ("x", 1)] and all_scalar
    with pytest.raises(KeyError, match=r"Keys \[5\]"):  # no plan: the schema's apply
        validate_fields(s, {"x": 1, "b": 2, 5: 1})
    patterned = Schema([Field("a", Int()), Field(native.StrKey("x.*"), Int())],
                       allow_nonconst_keys=True)
    source = {"a": 1, "xy": 2}
    out, all_scalar = validate_fields(patterned, source)
    assert out == source and out is not source and not all_scalar


# --- threads ------------------------------------------------------------------------


@pytest.mark.parametrize("target", ["dict", "schema"])
def test_threads_see_the_old_or_new_schema_or_the_borrow_error(target):
    tags = List(Str())
    schema = Schema([Field("id", Int()), Field("tags", tags)])
    spec = Dict(schema) if target == "dict" else schema
    shared = [{"id": i, "tags": ["a", "b"]} for i in range(200)]
    stop = threading.Event()
    failures = [[] for _ in range(9)]

    def extend_once():
        schema.extend(Schema([Field("extra", Int(default=7))]))

    def mutator():
        k = 0
        while not stop.is_set():
            try:
                if k == 50:
                    extend_once()
                elif k % 3 == 0:
                    schema._recompute_caches()
                else:
                    tags.set_transform(list if k % 2 else None)
            except RuntimeError as e:
                if not (str(e).startswith(REFUSED) or str(e) in BORROWED
                        or "kept changing" in str(e)):
                    failures[8].append(e)
            k += 1

    def worker(slot):
        mine = [{"id": slot, "tags": ["c"]} for _ in range(50)]
        for _ in range(20):
            for data in (shared, mine):
                for d in data:
                    try:
                        out = spec.apply(d)
                    except RuntimeError as e:
                        if str(e) not in BORROWED:
                            failures[slot].append(e)
                        continue
                    ok = (out is d and type(out["id"]) is int
                          and out["tags"] in (["a", "b"], ["c"]) and out.get("extra", 7) == 7)
                    if not ok:
                        failures[slot].append(("bad result", dict(out)))

    run_against_mutator(worker, mutator, stop)
    assert failures == [[]] * 9
    # the end state: every field, the extended one included, applies as a fresh schema would
    tags.set_transform(None)
    if "extra" not in schema.fields:
        extend_once()
    d = {"id": 1, "tags": ["t"]}
    assert spec.apply(d) == {"id": 1, "tags": ["t"], "extra": 7}
    assert List(Dict(schema)).apply([{"id": 2, "tags": [], "extra": 7}])[0]["extra"] == 7


# --- widening: only where the full road makes a float of an int ---------------------


@pytest.mark.parametrize("make, widens", [
    (lambda: Float(), True),
    (lambda: Union([Float(), Str()]), True),
    (lambda: Float().set_transform(lambda v: v * 2), False),  # the transform runs
    (lambda: Float(default=1.0, frozen=True), False),  # the frozen default answers
    (lambda: Union([Float(), Int(min_value=0)]), False),  # the checked int stays an int
    (lambda: Union([Float(), native.Enum([1, 2])]), False),
])
@pytest.mark.parametrize("in_list", [False, True])
def test_an_int_is_widened_only_where_the_full_road_widens_it(make, widens, in_list):
    spec = Dict([("f", make())])
    assert spec.schema._field_meta_classes()[0]["widen_to_float"] is widens
    value = [{"f": 1}, {"f": 2}] if in_list else {"f": 1}
    spec = List(spec) if in_list else spec
    for inplace in (True, False):
        got = outcome(spec, value, inplace=inplace)
        assert got == without_shortcuts(spec, value, inplace=inplace)
        assert got == outcome(spec, full_road(value), inplace=inplace) or in_list
