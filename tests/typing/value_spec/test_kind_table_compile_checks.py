"""Every kind states every entry of its table: a table that leaves one out,
or gives one as null, does not build, so no call through the table can reach
a missing function. Where a kind behaves as most do it says `kCommon`."""

from compile_check import compile_snippets

PRELUDE = """
#include "typing/value_spec/engine/kind_ops.hpp"
using namespace vesk::typing;
namespace {
const KindClass kClass{"Probe", "vesk.typing.Probe", nullptr};
const KindClass& class_of(const SpecKind&) { return kClass; }
bool write_json(SpecJsonWriter&, const SpecEngine&) { return true; }
vesk::py::Ref annotation(const SpecEngine&) { return {}; }
int validate(const SpecEngine&, PyObject*, PyObject*) { return 0; }
}
"""

# Every entry, one per line, so that a variant can drop or replace one.
ENTRIES = {
    "class_of": "class_of",
    "repr_cacheable": "false",
    "default_wrap_threshold": "-1",
    "format_items": "kCommon",
    "write_json": "write_json",
    "derived_default": "kCommon",
    "keep_default_origin": "kCommon",
    "shows_default": "kCommon",
    "settle_options": "kCommon",
    "shortcut": "kCommon",
    "coerce": "kCommon",
    "apply_kind": "kCommon",
    "validate": "validate",
    "forward_refs": "kCommon",
    "value_type_obj": "kCommon",
    "annotation": "annotation",
    "optional_when_noneable": "true",
    "leaf": "kCommon",
    "descends": "false",
    "constrains": "true",
    "strict_children": "kCommon",
    "deep_clone_payload": "kCommon",
    "equal": "kCommon",
    "compatible_first": "kCommon",
    "compatible": "kCommon",
    "call": "kCommon",
    "noneable": "kCommon",
    "extend": "kCommon",
}


def table(entries):
    body = "".join(f"    .{name} = {value},\n" for name, value in entries.items())
    return PRELUDE + "constinit const KindOps kTable{\n" + body + "};\n"


def without(name):
    return {k: v for k, v in ENTRIES.items() if k != name}


def replaced(name, value):
    return {k: (value if k == name else v) for k, v in ENTRIES.items()}


REFUSED = {
    "a slot left out": (without("validate"), "use of deleted function"),
    "a slot with no common behaviour left out": (without("write_json"), "use of deleted function"),
    "a value left out": (without("descends"), "use of deleted function"),
    "a null slot": (replaced("validate", "nullptr"), "a KindOps slot is a function, or kCommon"),
    "a null entry": (replaced("annotation", "nullptr"), "a KindOps entry is given"),
    "common behaviour where there is none": (replaced("class_of", "kCommon"), "kCommon"),
}


def test_a_complete_table_builds_and_an_incomplete_one_does_not():
    names = list(REFUSED)
    results = compile_snippets([table(ENTRIES)] + [table(REFUSED[n][0]) for n in names])
    ok, output = results[0]
    assert ok, output
    for name, (ok, output) in zip(names, results[1:]):
        assert not ok, name
        assert REFUSED[name][1] in output, f"{name}:\n{output}"

