#pragma once

#include "py/python.hpp"

namespace vesk::kernel {

// The kernel registration, the module's last step: record builders, record
// node-state access and the kernel probes.
[[nodiscard]] int register_module(PyObject* module);

}  // namespace vesk::kernel
