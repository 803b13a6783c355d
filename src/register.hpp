// Registration of the names the module's root binds itself: the ABI version
// and the per-thread flag scopes. Each other subsystem declares its step in
// its own register.hpp; src/module.cpp lists them all in order.
#pragma once

#include "py/python.hpp"

namespace vesk::abi {
// Binds `abi_version` and `__abi__`.
[[nodiscard]] int register_module(PyObject* module);
}  // namespace vesk::abi

namespace vesk::flags {
// Binds the four `_flag_scope_*` functions, then the five flag-id constants.
[[nodiscard]] int register_module(PyObject* module);
}  // namespace vesk::flags
