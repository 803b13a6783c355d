"""List: construction and size rules, type arguments, apply, threads, JSON."""

import threading

import pytest

import vesk_core._native as native
from vesk.typing.annotation import ValueSpec
from vesk_core import KeyPath
from races import run_against_mutator

Float, Int, List, Str, Tuple = native.Float, native.Int, native.List, native.Str, native.Tuple




@pytest.mark.parametrize(
    "kwargs, min_size, max_size",
    [({"size": 3}, 3, 3), ({"min_length": 2}, 2, None), ({"max_length": 5, "min_size": 1}, 1, 5)],
)
def test_sizes_and_aliases_reach_the_spec_and_its_element_key(kwargs, min_size, max_size):
    spec = List(int, **kwargs)
    assert (spec.min_size, spec.max_size) == (min_size, max_size)
    key = spec.element.key
    assert (key.min_value, key.max_value) == (min_size, max_size)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"min_size": 1, "min_length": 1},
         "List: `min_size` and `min_length` are mutually exclusive. Use one spelling."),
        ({"size": 2, "min_length": 1},
         'Either "size" or "min_size"/"max_size" pair can be specified. '
         "Encountered: size=2, min_size=1, max_size=None."),
        ({"size": -1}, '"min_size" of List must be no less than 0. Encountered: -1.'),
        ({"min_size": 3, "max_size": 2},
         '"max_size" of List must be no less than "min_size". Encountered: min_size=3, max_size=2'),
    ],
)
def test_size_argument_conflicts(kwargs, message):
    with pytest.raises(ValueError) as e:
        List(int, **kwargs)
    assert str(e.value) == message




def test_flags_getters_and_text_form():
    spec = List(Int(), symbolic=False, auto_wrap=False, min_size=1, max_size=4, is_noneable=True)
    assert repr(spec) == (
        "List(Int(), symbolic=False, auto_wrap=False, min_size=1, max_size=4, noneable=True)"
    )


def test_type_arguments():
    assert repr(List[int]) == repr(List(int))
    assert type(List.with_type_args(Str())) is List
    with pytest.raises(TypeError) as e:
        List[int, str]
    assert e.value.args == (
        "`vk.typing.List` requires 1 type argument. ",
        f"Encountered: {(int, str)}.",
    )




def test_inplace_decides_whether_a_plain_list_is_copied():
    # A patterned str takes every element through the full road (a matched list is
    # returned as it is by the shortcut, whatever `inplace` says).
    spec = List(native.Str(regex="[a-z]"))
    data = ["a", "b", "c"]
    assert spec.apply(data) is data
    out = spec.apply(data, inplace=False)
    assert out == data and out is not data


def test_only_changed_elements_are_written_back():
    class Watched(list):
        def __init__(self, items):
            super().__init__(items)
            self.writes = []

        def __setitem__(self, i, v):
            self.writes.append(i)
            super().__setitem__(i, v)

    data = Watched([1.5, 2, 3.0])
    out = List(Float()).apply(data, inplace=False)  # a subclass is worked on directly
    assert out is data and data.writes == [1] and data == [1.5, 2.0, 3.0]


def test_a_bad_element_names_its_nested_path():
    spec = List(Tuple([Int(), List(Int(max_value=1))]))
    with pytest.raises(ValueError) as e:
        spec.apply([(1, [0]), (2, [1]), (3, [0, 5])], root_path=KeyPath("a"))
    assert str(e.value) == "Value 5 is out of range (min=None, max=1). (path=a[2][1][1])"


def test_size_bounds_are_checked_after_the_elements():
    with pytest.raises(ValueError) as e:
        List(int, max_size=1).apply([1, 2], root_path=KeyPath("x"))
    assert str(e.value) == "Length of list [1, 2] is greater than max size (1). (path=x)"
    with pytest.raises(ValueError, match=r"less than min size \(2\)"):
        List(int, min_size=2).apply([1])


class PySpec(ValueSpec):
    forward_refs = frozenset()
    _exact_leaf_type = None


class SpyInt(PySpec):
    def __init__(self):
        self.paths = []

    def apply(self, value, allow_partial=False, inplace=True, root_path=None):
        self.paths.append(str(root_path))
        return value * 10


def test_python_element_specs_are_called_by_name_with_child_paths():
    spy = SpyInt()
    assert List(spy).apply([1, 2], root_path=KeyPath("r")) == [10, 20]
    assert spy.paths == ["r[0]", "r[1]"]


def test_child_transform_goes_through_the_element_field():
    calls = []

    def transform(path, field, value):
        calls.append(str(path))
        return value

    assert List(Int()).apply([1, 2], root_path=KeyPath("r"), child_transform=transform) == [1, 2]
    assert calls == ["r[0]", "r[1]"]
    transform._vesk_scalar_identity = True
    calls.clear()
    List(Int()).apply([1, 2], child_transform=transform)
    assert calls == []


class SymbolicStandIn(list):

    def __init__(self, items):
        super().__init__(items)
        self.read, self.written = [], []

    def sym_getattr(self, i):
        self.read.append(i)
        return list.__getitem__(self, i)

    def _set_item_without_permission_check(self, i, v):
        self.written.append(i)
        list.__setitem__(self, i, v)

    def __setitem__(self, i, v):
        raise PermissionError("sealed")


def test_symbolic_lists_are_read_and_written_through_their_accessors():
    data = SymbolicStandIn([1, 2.5])
    out = List(Float()).apply(data, inplace=False)
    assert out is data and data == [1.0, 2.5]
    assert data.read == [0, 1] and data.written == [0]


def test_without_auto_wrap_the_child_transform_stops_here():
    seen = []

    def transform(path, value):  # never called: the list clears it
        seen.append(path)
        return value

    assert List(Float(), auto_wrap=False).apply([1], child_transform=transform) == [1.0]
    assert seen == []


def test_a_list_shortened_by_an_element_apply_fails_cleanly():
    data = [1, 2, 3]

    class Shrinking(PySpec):
        def apply(self, value, **kwargs):
            data.clear()
            return value

    with pytest.raises(IndexError):
        List(Shrinking()).apply(data)




def test_threads_apply_one_spec_while_shared_elements_change():
    spec = List(Tuple([Int(), Float()]))
    shared = [(i, float(i)) for i in range(50)]
    stop = threading.Event()
    errors, results = [], [None] * 8

    def mutator():
        k = 0
        while not stop.is_set():
            shared[k % 50] = (k, k)  # an int where a float belongs: written back on apply
            k += 1

    def worker(slot):
        try:
            for _ in range(200):
                mine = list(shared)
                out = spec.apply(mine)
                assert out is mine
                assert all(type(b) is float for _, b in out)
            results[slot] = True
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    run_against_mutator(worker, mutator, stop)
    assert errors == [] and results == [True] * 8




def test_from_json_reads_sizes_flags_and_common_options():
    spec = List.from_json(
        {"_type": "vesk.typing.Str", "element_value": {"_type": "type", "name": "builtins.int"},
         "min_length": 1, "symbolic": True, "auto_wrap": False, "is_noneable": True}
    )
    assert type(spec) is List
    assert repr(spec) == "List(Int(), symbolic=True, auto_wrap=False, min_size=1, noneable=True)"
    with pytest.raises(ValueError, match="List json missing 'element_value'."):
        List.from_json({})
