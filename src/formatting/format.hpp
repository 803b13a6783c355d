// The module function `format`.
#pragma once

#include "py/ref.hpp"

namespace vesk::formatting {

// The text of a plain scalar (exact int, float, bool, None, str, bytes or
// bound method), before markdown quoting; `handled` is false for any other
// value. A null limit means no truncation.
[[nodiscard]] py::Ref format_scalar(PyObject* value, PyObject* max_str_len,
                                    PyObject* max_bytes_len, bool& handled);

PyObject* format_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vesk::formatting
