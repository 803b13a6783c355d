"""No native path of the bridge leaks a reference, on success or failure."""

import re

import vesk_core._native as native
from leaks import assert_no_leak
from seams import seams
from test_value_spec_utils import Candidate, _str_key
from vesk.typing import schema as stand_in

PARTIAL = type("PartialError", (), {})()
DECLINED = type("Obj", (), {"sym_partial": True})()
MARKED = type("Marked", (), {"__vesk_maybe_partial__": True})()


def _swallow(fn, *args):
    try:
        fn(*args)
    except Exception:
        pass


def _round():
    memo = {}
    source = object()
    seams.deepcopy_memo_hit(memo, source)
    seams.deepcopy_memo_register(memo, source, [1])
    seams.deepcopy_memo_hit(memo, source)
    hostile = {}
    hostile[id(hostile)] = None  # a keep-alive entry without `append`
    _swallow(seams.deepcopy_memo_register, hostile, source, 1)
    seams.is_missing(native.MissingValue())
    seams.fresh_missing()
    seams.missing_default_detached()
    seams.call_to_json((1, [2]), {"x": 1})
    _swallow(seams.call_to_json, object(), None)
    seams.callable_eq(len, len)
    _swallow(seams.call_is_generic, None)
    seams.from_annotation(int)
    seams.union_getitem(int, str)
    seams.is_maybe_partial(MARKED)
    seams.is_custom_typing(MARKED)
    _swallow(seams.read_sym_partial, PARTIAL)
    seams.read_sym_partial(DECLINED)
    _swallow(seams.read_sym_partial, object())
    seams.spec_storage(object(), True)
    seams.wrap_transform_error(ValueError("x"), "p")
    seams.wrap_transform_error(KeyError(1, 2), "p")
    seams.regex_pattern_str(re.compile("a"))
    _swallow(seams.regex_pattern_str, re.compile(b"a"))
    seams.build_candidate_type_map([Candidate(int), Candidate((str, float))], False)
    seams.build_candidate_type_map([Candidate(int), Candidate(int)], False)
    seams.compute_open_str_value_spec(stand_in.Schema([stand_in.Field(_str_key(), 1)]))
    seams.root_path_str(native.KeyPath("a"))
    seams.as_type_args(int)


def test_no_reference_leaks():
    assert_no_leak(_round, calls=50)
