"""Schema.apply and Schema.validate: the constant, open and general roads,
defaults, refused keys with their messages, and write-back of changed values
only."""

import pytest

import vesk_core._native as native
KeyPath = native.KeyPath

Schema, Field, Int, Str, StrKey = native.Schema, native.Field, native.Int, native.Str, native.StrKey

MSG = "Keys {} are not allowed in Schema. (parent='{}')"


class Recording(dict):
    def __init__(self, *a, **kw):
        super().__init__(*a, **kw)
        self.writes = []

    def __setitem__(self, key, value):
        self.writes.append(key)
        super().__setitem__(key, value)


def const_schema():
    return Schema([Field("a", Int()), Field("b", Str(default="x"))])


def open_schema():
    return Schema(
        [Field("a", Int(default=0)), Field(StrKey(), Int()), Field("b", Int(default=2))],
        allow_nonconst_keys=True,
    )


def general_schema():
    # A wildcard with a pattern has no fast plan: every dict takes the
    # general road.
    return Schema([Field("a", Int()), Field(StrKey("x.*"), Int())], allow_nonconst_keys=True)



@pytest.mark.parametrize("make", [const_schema, open_schema, general_schema])
def test_accepted_values_are_kept_and_defaults_filled(make):
    s = make()
    value = 10**30  # not a cached small int: identity proves no rewrite
    d = {"a": value}
    out = s.apply(d)
    assert out is d and d["a"] is value
    if make is const_schema:
        assert d == {"a": value, "b": "x"}
    elif make is open_schema:
        assert d == {"a": value, "b": 2}


@pytest.mark.parametrize("make", [const_schema, open_schema])
def test_changed_values_only_are_written_back(make):
    s = make()
    d = Recording(a=1, b="y" if make is const_schema else 3)
    s.apply(d)
    assert d.writes == []
    d2 = Recording(a=1)
    s.apply(d2)
    assert d2.writes == ["b"]
    d = {"f": 1}
    Schema([Field("f", native.Float())]).apply(d)  # a widened value is written back
    assert type(d["f"]) is float and d["f"] == 1.0


@pytest.mark.parametrize("make", [const_schema, open_schema, general_schema])
def test_not_inplace_copies_and_orders_constant_keys_first(make):
    s = make()
    d = {"xz": 5, "a": 1} if make is not const_schema else {"b": "q", "a": 1}
    before = dict(d)
    out = s.apply(d, inplace=False)
    assert out is not d and d == before
    assert list(out)[0] == "a"


def test_missing_required_key_reports_its_path():
    with pytest.raises(ValueError, match=r"Required value is not specified. \(Path='a'"):
        const_schema().apply({"b": "q"})
    assert const_schema().apply({}, allow_partial=True)["b"] == "x"


def test_missing_key_of_unvalidated_field_takes_the_bridge_default():
    s = Schema([Field("a", Int(default=3), enable_validation=False)])
    assert s.apply({}) == {"a": 3}
    # Present values of such a field are kept, whatever they are.
    assert s.apply({"a": "text"}) == {"a": "text"}



def test_constant_road_sorts_extra_keys_after_applying():
    s = const_schema()
    d = {"a": 1, "y": 0, "x": 0}
    with pytest.raises(KeyError) as info:
        s.apply(d, root_path=KeyPath.parse("p"))
    assert info.value.args[0] == MSG.format(["x", "y"], "p")
    assert d["b"] == "x"  # the constant fields were applied first


def test_general_road_lists_extra_keys_in_input_order_before_applying():
    s = general_schema()
    d = {"a": 1, "y": 0, "q": 0}
    with pytest.raises(KeyError) as info:
        s.apply(d)
    assert info.value.args[0] == MSG.format(["y", "q"], "None")
    t = const_schema()
    d = {"a": 1, "y": 0, "x": 0}
    with pytest.raises(KeyError) as info:
        t.apply(d, child_transform=lambda p, f, v: v)
    assert info.value.args[0] == MSG.format(["y", "x"], "None")
    assert "b" not in d


@pytest.mark.parametrize(
    "make, d, extra",
    [
        (const_schema, {"a": 1, "z": 0, 3: 0}, ["z", 3]),  # keys that do not compare
        (open_schema, {"a": 1, 5: 1}, [5]),  # a non-str key leaves the open road
    ],
)
def test_extra_keys_are_refused_by_name(make, d, extra):
    with pytest.raises(KeyError) as info:
        make().apply(d)
    assert info.value.args[0] == MSG.format(extra, "None")



class LogField:
    log = None
    enable_validation, enable_init, validator, origin = True, True, None, None

    def __init__(self, key, value):
        self.key = native.ConstStrKey(key) if isinstance(key, str) else key
        self.value = value

    def set_origin(self, origin):
        self.origin = origin

    def apply(self, value, allow_partial, transform_fn, root_path, inplace):
        LogField.log.append(str(root_path))
        return self.value.apply(value, allow_partial=allow_partial, root_path=root_path)


def test_open_road_applies_in_declaration_then_dict_order():
    LogField.log = []
    s = Schema(
        [LogField("a", native.Any(transform=str)), LogField(StrKey(), native.Any(transform=str)),
         LogField("b", native.Any(transform=str))],
        allow_nonconst_keys=True,
    )
    d = {"b": 1, "y": 2, "a": 3, "x": 4}
    assert s.apply(d) is d
    assert LogField.log == ["a", "y", "x", "b"]
    assert d == {"b": "1", "y": "2", "a": "3", "x": "4"}
    # The wildcard fills no missing key; a missing constant takes its default.
    with pytest.raises(ValueError, match="Required value"):
        s.apply({"x": 1, "a": 1})
    with pytest.raises(TypeError, match=r"\(path=x\)"):
        open_schema().apply({"a": 1, "b": 2, "x": "s"})


def test_str_subclass_key_equal_to_a_constant_counts_as_that_constant():
    class Name(str):
        pass

    s = Schema([Field("a", Int()), Field(StrKey(), Str())], allow_nonconst_keys=True)
    # Were Name("a") taken by the wildcard, its int would fail the Str spec.
    d = {Name("a"): 1}
    assert s.apply(d) is d



def test_general_road_reads_through_sym_getattr_and_item_assignment():
    class Sym(Recording):
        def __init__(self, *a, **kw):
            super().__init__(*a, **kw)
            self.reads = []

        def sym_getattr(self, key, default):
            self.reads.append(key)
            return self.get(key, default)

    s = const_schema()
    d = Sym(a=1)
    assert s.apply(d) is d
    assert d.reads == ["a", "b"] and d.writes == ["b"]


def test_child_transform_reaches_validated_fields_at_child_paths():
    calls = []

    def transform(path, field, value):
        calls.append(str(path))
        return value

    s = general_schema()
    s.apply({"a": 1, "xa": 2}, child_transform=transform, root_path=KeyPath.parse("r"))
    assert calls == ["r.a", "r.xa"]


@pytest.mark.parametrize("respect, const_gets", [(None, True), (False, False), (True, True)])
def test_respect_raw_storage_gates_constant_keys_only(respect, const_gets):
    hits = []
    s = general_schema()
    s.apply({"a": 1, "xb": 2}, child_transform=lambda p, f, v: hits.append(str(p)) or v,
            respect_raw_storage=respect)
    assert hits == (["a", "xb"] if const_gets else ["xb"])


def test_validate_leaves_the_input_unchanged():
    s = const_schema()
    d = {"a": 1}
    assert s.validate(d) is None and d == {"a": 1}
    with pytest.raises(KeyError):
        s.validate({"a": 1, "q": 1})
