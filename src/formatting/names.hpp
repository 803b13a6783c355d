// Keyword sets of the nested calls the formatting service makes, as tuples
// of interned names (lazy.hpp) usable as vectorcall `kwnames`, so nested calls
// of `format` match their keywords by identity. Each read is checked: true
// with `out` set, or false with an exception set.
#pragma once

#include "py/lazy.hpp"

namespace vesk::formatting::names {

// Keywords that `format` passes to every nested call, in this order; the
// caller's extra keywords follow "memo".
inline constexpr Py_ssize_t kChildCount = 9;
[[nodiscard]] inline bool child(PyObject*& out) {
    return py::names<"compact", "verbose", "root_indent", "list_wrap_threshold",
                     "strip_object_id", "max_str_len", "max_bytes_len", "custom_format", "memo">(
        out);
}
// A formattable value's own `format` gets the same set followed by
// "include_keys" and "exclude_keys".
inline constexpr Py_ssize_t kFormattableCount = kChildCount + 2;
[[nodiscard]] inline bool formattable(PyObject*& out) {
    return py::names<"compact", "verbose", "root_indent", "list_wrap_threshold",
                     "strip_object_id", "max_str_len", "max_bytes_len", "custom_format", "memo",
                     "include_keys", "exclude_keys">(out);
}

// Keywords that `kvlist_str` passes to `format` for each value; extra keywords
// follow "memo".
inline constexpr Py_ssize_t kKvlistChildCount = 5;
[[nodiscard]] inline bool kvlist_child(PyObject*& out) {
    return py::names<"compact", "verbose", "root_indent", "custom_format", "memo">(out);
}

}  // namespace vesk::formatting::names
