#pragma once

#include "py/python.hpp"

namespace vesk::typing::field {

// Binds Field.
[[nodiscard]] int register_module(PyObject* module);

}  // namespace vesk::typing::field
