// Registration of the value-spec classes.
#pragma once

#include "py/python.hpp"

namespace vesk::typing::value_spec {

// Binds SpecBase, then each kind class in module order. Returns 0, or -1 with
// an exception set.
[[nodiscard]] int register_module(PyObject* module);

}  // namespace vesk::typing::value_spec
