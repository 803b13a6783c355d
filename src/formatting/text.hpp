// Small text operations of the formatting service. Integer levels and limits
// are handled natively; anything else is handed to the interpreter's own
// operators so that exotic numbers behave as they would in Python.
#pragma once

#include "py/text_writer.hpp"

#include <cstdint>
#include <optional>

namespace vesk::formatting {

// The value of an int that fits a signed 64-bit integer; nullopt otherwise
// (not an int, or too large). Never leaves an exception set.
[[nodiscard]] std::optional<std::int64_t> as_i64(PyObject* value) noexcept;

// level + 1.
[[nodiscard]] py::Ref ri_plus_one(PyObject* level);
// Writes two spaces per level (nothing below 1), or str("  " * level) for a
// level that is not a 64-bit int. A level too deep for memory is a
// MemoryError that names root_indent.
[[nodiscard]] bool write_indent(py::TextWriter& out, PyObject* level);
// length > limit, as 1 or 0; -1 with an exception set.
[[nodiscard]] int over_max_len(Py_ssize_t length, PyObject* limit);
// length <= limit, as 1 or 0; -1 with an exception set.
[[nodiscard]] int within_limit(Py_ssize_t length, PyObject* limit);
// repr(value[0:limit] + ellipsis): the ellipsis ends up inside the quotes.
[[nodiscard]] py::Ref truncated_repr(PyObject* value, PyObject* limit, PyObject* ellipsis);
// Backquotes for one line, a fenced block for several; `text` itself when
// markdown is off.
[[nodiscard]] py::Ref md_quote(py::Ref text, bool markdown);
// str() of value.__class__.__name__.
[[nodiscard]] py::Ref class_name(PyObject* value);
// "<bound method {qualname of __func__}>".
[[nodiscard]] py::Ref format_method(PyObject* method);
// "<recursive {class name} at 0x{address}>".
[[nodiscard]] py::Ref recursion_marker(PyObject* value);
// The truth of an optional argument: false when omitted. -1 on error.
[[nodiscard]] int truth_if_given(PyObject* arg);

}  // namespace vesk::formatting
