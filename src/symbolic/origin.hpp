// Recording a symbolic value's origin, shared by the containers and the
// node-state interface of objects and records: the stack top the origin
// records, the check that the current origin may be replaced, and the new
// origin.
#pragma once

#include "py/ref.hpp"

#include <cstdint>

namespace vesk::symbolic {

// The `stacktop` argument as a signed 64-bit integer, -1 when omitted
// (`given` null). False with the argument's TypeError or OverflowError.
[[nodiscard]] bool arg_stacktop(PyObject* given, std::int64_t& out);

// What the new origin records: `stacktop - 1` as an int. At the 64-bit
// minimum that predecessor does not fit: OverflowError naming `stacktop`.
[[nodiscard]] py::Ref recorded_stacktop(std::int64_t stacktop);

// Whether an origin of `source` may replace `current` (null for none): a
// current origin whose `source` is neither None nor `source` itself refuses
// the change with ValueError "Cannot set the origin with a different source
// value. ...". 0 or -1. It comes before anything needs the bridge that
// makes the new origin.
[[nodiscard]] int check_origin_source(PyObject* current, PyObject* source);

// The new origin: `origin_cls(source, tag, stacktrace, stacklimit,
// recorded)`, None for an absent stacktrace or stacklimit.
[[nodiscard]] py::Ref make_origin(PyObject* origin_cls, PyObject* source, PyObject* tag,
                                  PyObject* stacktrace, PyObject* stacklimit, PyObject* recorded);

}  // namespace vesk::symbolic
