#pragma once

#include "py/python.hpp"

namespace vesk::typing::key_specs {

// Binds ConstStrKey, StrKey, ListKey and TupleKey, in this order.
[[nodiscard]] int register_module(PyObject* module);

}  // namespace vesk::typing::key_specs
