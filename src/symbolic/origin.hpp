// Recording a symbolic value's origin, shared by the containers and the
// node-state interface of objects and records: the stack top the origin
// records and the origin that replaces the current one.
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

// The origin that replaces `current` (null for none):
// `origin_cls(source, tag, stacktrace, stacklimit, recorded)`, None for an
// absent stacktrace or stacklimit. A current origin whose `source` is
// neither None nor `source` itself refuses the change with ValueError
// "Cannot set the origin with a different source value. ...".
[[nodiscard]] py::Ref replacement_origin(PyObject* origin_cls, PyObject* current,
                                         PyObject* source, PyObject* tag, PyObject* stacktrace,
                                         PyObject* stacklimit, PyObject* recorded);

}  // namespace vesk::symbolic
