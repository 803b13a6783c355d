#pragma once

#include "py/python.hpp"

namespace vesk::symbolic {

// The symbolic registration: the containers' classes, bridges and JSON
// functions, then the object registration (object classes and seams,
// beginning with `_install_object_bridge`).
[[nodiscard]] int register_module(PyObject* module);

}  // namespace vesk::symbolic
