#pragma once

#include "py/python.hpp"

namespace vesk::symbolic::object {

// The object registration: the object classes, then the object seam
// functions beginning with `_install_object_bridge`, in binding order.
[[nodiscard]] int register_module(PyObject* module);

}  // namespace vesk::symbolic::object
