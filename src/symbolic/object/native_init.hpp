// The native initialiser of dictionary-layout symbolic objects: the body of
// the native `tp_init` that the kernel installs on the package's generated
// object classes. Positional arguments belong to the class's Python
// `__init__`; keywords run the construction core, and every failure of the
// core is handed to the object bridge's `prepare_construct_error`, whose
// result is raised.
#pragma once

#include "py/python.hpp"

namespace vesk::symbolic::object {

// 0, or -1 with an exception set. `args` and `kwargs` may be null.
[[nodiscard]] int native_init(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace vesk::symbolic::object
