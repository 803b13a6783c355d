// The text forms of fields and schemas: a label and a list of named items,
// each left out at its default, laid out by the formatting service's
// `kvlist_str`. The options are the ones every `format` method of the typing
// layer takes (`compact`, `verbose`, `root_indent`); the extra keywords a
// caller gives go on to `kvlist_str`, which hands them to the nested values.
//
// Errors follow the interpreter's convention: false or a null Ref means an
// exception is set.
#pragma once

#include "py/args.hpp"
#include "py/ref.hpp"

#include <cstdint>

namespace vesk::typing {

struct TextOptions {
    bool compact = false;
    bool verbose = true;
    std::int64_t root_indent = 0;
};

// Converts the three options (null = omitted): `compact` and `verbose` must
// be True or False, `root_indent` an int that fits in 64 bits.
[[nodiscard]] bool text_options(PyObject* compact, PyObject* verbose, PyObject* root_indent,
                                TextOptions& out);

// Appends the item (name, value, omit_when) to `items`.
[[nodiscard]] bool add_text_item(PyObject* items, const char* name, PyObject* value,
                                 PyObject* omit_when);

// `kvlist_str(items, **kwargs)` where kwargs is a copy of `extra`, then
// "label", "bracket_type" (only when `bracket_type` is not null), "compact",
// "verbose" and "root_indent", each replacing an extra keyword of its name.
[[nodiscard]] py::Ref kvlist_text(PyObject* items, const py::ExtraKeywords& extra,
                                  PyObject* label, PyObject* bracket_type,
                                  const TextOptions& options);

// The options of `str()` (compact false) and `repr()` (compact true):
// verbose, root indent 0 and the extra keyword list_wrap_threshold=80.
[[nodiscard]] bool display_options(bool compact, py::ExtraKeywords& extra, TextOptions& options);

}  // namespace vesk::typing
