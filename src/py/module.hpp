// Binding names into the module during its execution step. Every binding
// also appends the name to the module's `__all__`, so `__all__` records the
// order of registration.
#pragma once

#include "py/ref.hpp"

namespace vesk::py {

// Binds `value` under `name`. Returns 0, or -1 with an exception set.
[[nodiscard]] int add_object(PyObject* module, const char* name, Ref value);
// Binds a built-in function bound to the module, under `def->ml_name`.
// `def` must have static storage duration.
[[nodiscard]] int add_function(PyObject* module, PyMethodDef* def);
// Binds each function of a null-terminated table, in order.
[[nodiscard]] int add_functions(PyObject* module, PyMethodDef* defs);
// Binds a type under its short name (`__name__`).
[[nodiscard]] int add_type(PyObject* module, PyTypeObject* type);
// Binds an int constant.
[[nodiscard]] int add_int(PyObject* module, const char* name, long value);

}  // namespace vesk::py
