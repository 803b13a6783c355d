// Registration of Schema.
#pragma once

#include "py/python.hpp"

namespace vesk::typing::schema {

// Binds Schema. Returns 0, or -1 with an exception set.
[[nodiscard]] int register_module(PyObject* module);

}  // namespace vesk::typing::schema
