// Registration of the typing bridge's installers.
#pragma once

#include "py/python.hpp"

namespace vesk::typing {

// Binds `_install_typing_bridge`, `_install_json_schema_fn`,
// `_install_field_from_annotation` and `_install_symbolic_container_types`,
// in this order. Returns 0, or -1 with an exception set.
[[nodiscard]] int register_module(PyObject* module);

}  // namespace vesk::typing
