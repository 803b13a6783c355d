// The options of one `format` call. Each remembers whether it was passed:
// null means omitted. For compact, verbose, root_indent, list_wrap_threshold
// and strip_object_id an explicit None is kept and passed on as None; for the
// other options None means the same as omitted and is stored as null.
#pragma once

#include "formatting/names.hpp"
#include "py/args.hpp"

namespace vesk::formatting {

struct FormatOptions {
    PyObject* value = nullptr;
    PyObject* compact = nullptr;
    PyObject* verbose = nullptr;
    PyObject* root_indent = nullptr;
    PyObject* list_wrap_threshold = nullptr;
    PyObject* strip_object_id = nullptr;
    PyObject* include_keys = nullptr;
    PyObject* exclude_keys = nullptr;
    PyObject* markdown = nullptr;
    PyObject* max_str_len = nullptr;
    PyObject* max_bytes_len = nullptr;
    PyObject* custom_format = nullptr;
    PyObject* memo = nullptr;
    py::ExtraKeywords extra;  // **kwargs, passed on to nested calls

    // The defaults of root_indent and list_wrap_threshold, fetched by `parse`.
    PyObject* default_root_indent = nullptr;
    PyObject* default_list_wrap_threshold = nullptr;

    // Binds the arguments of a fast call; false with an exception set.
    [[nodiscard]] bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

    // Values in force, defaults filled in (borrowed).
    [[nodiscard]] PyObject* compact_or_default() const noexcept {
        return compact ? compact : Py_False;
    }
    [[nodiscard]] PyObject* verbose_or_default() const noexcept {
        return verbose ? verbose : Py_True;
    }
    [[nodiscard]] PyObject* root_indent_or_default() const noexcept {
        return root_indent ? root_indent : default_root_indent;
    }
    [[nodiscard]] PyObject* list_wrap_threshold_or_default() const noexcept {
        return list_wrap_threshold ? list_wrap_threshold : default_list_wrap_threshold;
    }
    [[nodiscard]] PyObject* strip_object_id_or_default() const noexcept {
        return strip_object_id ? strip_object_id : Py_False;
    }
};

// str() of `custom_format(value, root_indent)` for the options' value and
// root_indent in force. Null with `failed` false when it declines with None;
// null with `failed` true and an exception set when it raises.
[[nodiscard]] py::Ref call_custom_format(const FormatOptions& opts, bool& failed);

// The values of the child keyword set (names::child() order) for `opts`, with
// "root_indent" and "memo" as given.
struct ChildValues {
    PyObject* values[names::kChildCount + 2];  // room for include/exclude keys
    ChildValues(const FormatOptions& opts, PyObject* root_indent, PyObject* memo) noexcept;
};

}  // namespace vesk::formatting
