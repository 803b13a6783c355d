// The native symbolic classes, SymDict, SymList and SymObject, and their
// instance tests. They are declared here, below every room of the layer,
// so that what asks which kind a value is (the node-operations table, the
// child-state reads, the JSON walk) includes no room above it; each class is
// defined in its own room (dict/dict_type.cpp, list/list_type.cpp,
// object/type/object_type.cpp).
#pragma once

#include "py/python.hpp"

namespace vesk::symbolic {

// Each class, built on first use and shared process-wide (borrowed); null
// with an exception set when building it failed. Each instance test takes
// subclasses too, never fails, and answers false before the class exists,
// since no instance can.
[[nodiscard]] PyTypeObject* sym_dict_type();
// Whether `obj`'s class is `type` or derives from it, asked on every write
// and re-path: the class and the first two levels of subclasses below it
// (the package's composed classes and theirs) are told by a few loads along
// the solid bases, any other by the interpreter.
[[nodiscard]] inline bool instance_of(PyObject* obj, PyTypeObject* type) noexcept {
    PyTypeObject* t = Py_TYPE(obj);
    for (int level = 0; level < 3 && t; ++level, t = t->tp_base)
        if (t == type) return true;
    return t && PyType_IsSubtype(t, type);
}
[[nodiscard]] bool is_sym_dict(PyObject* obj) noexcept;
[[nodiscard]] PyTypeObject* sym_list_type();
[[nodiscard]] bool is_sym_list(PyObject* obj) noexcept;

namespace object {

[[nodiscard]] PyTypeObject* sym_object_type();
[[nodiscard]] bool is_sym_object(PyObject* obj) noexcept;

}  // namespace object

}  // namespace vesk::symbolic
