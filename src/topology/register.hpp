#pragma once

#include "py/python.hpp"

namespace vesk::topology {

// Binds KeyPath, KeyPathSet, MissingValue and missing_value_singleton, in
// that order.
[[nodiscard]] int register_module(PyObject* module);

}  // namespace vesk::topology
