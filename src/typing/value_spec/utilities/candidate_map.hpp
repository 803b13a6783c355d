// The map from exact class to candidate through which the apply engine
// dispatches a Union with one dictionary lookup.
#pragma once

#include "py/ref.hpp"

namespace vesk::typing {

// The map over `candidates` (a list, read item by item under its lock): 1
// with `out` set; 0, nothing, when `some_without_value_type` is set, when a
// candidate has truthy `forward_refs`, when a `_value_type` (or one item of a
// tuple of them) is not a class, or when two candidates claim one class; -1
// with an exception set.
[[nodiscard]] int build_candidate_type_map(PyObject* candidates, bool some_without_value_type,
                                           py::Ref& out);

}  // namespace vesk::typing
