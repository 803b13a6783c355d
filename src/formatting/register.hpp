#pragma once

#include "py/python.hpp"

namespace vesk::formatting {

// Binds format, kvlist_str and _install_formatting_bridge, then caches the
// module's own format and kvlist_str for native callers.
[[nodiscard]] int register_module(PyObject* module);

}  // namespace vesk::formatting
