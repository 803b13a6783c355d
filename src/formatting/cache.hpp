// The module's own `format` and `kvlist_str` function objects, cached once by
// the execution step. The first module to execute wins for the whole process.
#pragma once

#include "py/once_cell.hpp"

namespace vesk::formatting {

inline py::ObjectCell FORMAT_FN;
inline py::ObjectCell KVLIST_STR_FN;

// Reads "format" and then "kvlist_str" back from `module` and stores each in
// its cell unless already set. Returns 0, or -1 with the attribute error set
// (a failure on "kvlist_str" leaves FORMAT_FN set).
[[nodiscard]] int init_format_fn(PyObject* module);

// The cached `format` (borrowed), or null with the internal error
// "format fn not initialized".
[[nodiscard]] PyObject* format_fn();

}  // namespace vesk::formatting
