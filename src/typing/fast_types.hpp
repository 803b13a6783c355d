// Class-identity tests on the hot apply paths. They compare exact classes by
// identity (a subclass never counts), never look at the instance beyond its
// type, never allocate and never fail.
#pragma once

#include "py/python.hpp"

#include <array>
#include <cstddef>

namespace vesk::typing {

inline constexpr std::size_t kAnyFastScalarCount = 9;

// The classes whose exact instances an unconstrained Any accepts as they are,
// in this order: int, str, float, bool, NoneType, bytes, tuple, set,
// frozenset. The FieldMeta builder lists them as verbatim classes.
[[nodiscard]] inline const std::array<PyTypeObject*, kAnyFastScalarCount>&
any_fast_scalar_types() noexcept {
    static const std::array<PyTypeObject*, kAnyFastScalarCount> kTypes{
        &PyLong_Type,  &PyUnicode_Type, &PyFloat_Type, &PyBool_Type,      Py_TYPE(Py_None),
        &PyBytes_Type, &PyTuple_Type,   &PySet_Type,   &PyFrozenSet_Type,
    };
    return kTypes;
}

// None, an exact instance of one of any_fast_scalar_types(), or, with
// `containers`, an exact dict or list.
[[nodiscard]] inline bool is_any_fast_type(PyObject* value, bool containers) noexcept {
    if (value == Py_None) return true;
    PyTypeObject* type = Py_TYPE(value);
    for (PyTypeObject* fast : any_fast_scalar_types())
        if (type == fast) return true;
    return containers && (type == &PyDict_Type || type == &PyList_Type);
}

// Exactly int, float, str or bool.
[[nodiscard]] inline bool is_primitive_value_type(PyObject* cls) noexcept {
    return cls == reinterpret_cast<PyObject*>(&PyLong_Type) ||
           cls == reinterpret_cast<PyObject*>(&PyFloat_Type) ||
           cls == reinterpret_cast<PyObject*>(&PyUnicode_Type) ||
           cls == reinterpret_cast<PyObject*>(&PyBool_Type);
}

// A value type an isinstance test can take without user code deciding it: a
// class whose metaclass is exactly `type`, or a tuple (subclasses included)
// of such classes; the empty tuple is plain. A custom metaclass may override
// the instance test, so its classes are not plain.
[[nodiscard]] inline bool is_plain_value_type(PyObject* t) noexcept {
    if (PyTuple_Check(t)) {
        // Tuples are immutable: no lock needed to walk the items.
        const Py_ssize_t n = PyTuple_GET_SIZE(t);
        for (Py_ssize_t i = 0; i < n; ++i)
            if (Py_TYPE(PyTuple_GET_ITEM(t, i)) != &PyType_Type) return false;
        return true;
    }
    return Py_TYPE(t) == &PyType_Type;
}

// None, or an exact int, float, str, bool or bytes.
[[nodiscard]] inline bool is_scalar_value(PyObject* value) noexcept {
    if (value == Py_None) return true;
    PyTypeObject* type = Py_TYPE(value);
    return type == &PyLong_Type || type == &PyFloat_Type || type == &PyUnicode_Type ||
           type == &PyBool_Type || type == &PyBytes_Type;
}

}  // namespace vesk::typing
