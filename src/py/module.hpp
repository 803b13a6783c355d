// A module's definition slots, and binding names into the module during its
// execution step. Every binding also appends the name to the module's
// `__all__`, so `__all__` records the order of registration.
#pragma once

#include "py/entry.hpp"

namespace vesk::py {

// The slots of a module of this project: its execution step `Exec`
// (int Exec(PyObject* module)) through the guarded entry, no global lock
// needed. Types, cached functions and once-set cells are shared
// process-wide, so a second interpreter must not load the module.
template <auto Exec>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(entry<Exec>)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

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
