// Registration of Field.
#pragma once

#include "py/python.hpp"

namespace vesk::typing::field {

// Binds Field. Returns 0, or -1 with an exception set.
[[nodiscard]] int register_module(PyObject* module);

}  // namespace vesk::typing::field
