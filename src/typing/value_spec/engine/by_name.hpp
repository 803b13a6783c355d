// Reading another spec (or field, or schema) through its Python attributes,
// by name: how equality, compatibility and extension see the other side, so
// that a Python subclass or a pure-Python spec offering the same attributes
// takes part.
//
// Each returns 1 / 0 (true / false) or -1 with an exception set, or false
// with an exception set for the readers into `out`. An attribute that must be
// a bool or an integer and is not raises TypeError naming it.
#pragma once

#include "py/args.hpp"
#include "py/lazy.hpp"

#include <cstdint>
#include <optional>

namespace vesk::typing {

// `a == b` made truthy.
[[nodiscard]] inline int py_eq(PyObject* a, PyObject* b) {
    return PyObject_RichCompareBool(a, b, Py_EQ);
}

// `a == obj.Name`.
template <py::Literal Name>
[[nodiscard]] int eq_attr(PyObject* a, PyObject* obj) {
    py::Ref value = py::get_attr<Name>(obj);
    if (!value) return -1;
    return py_eq(a, value.get());
}

// `obj.Name`, which must be exactly True or False.
template <py::Literal Name>
[[nodiscard]] int attr_bool(PyObject* obj) {
    py::Ref value = py::get_attr<Name>(obj);
    if (!value) return -1;
    bool b;
    if (!py::arg_bool(Name.text, value.get(), b)) return -1;
    return b ? 1 : 0;
}

// `obj.Name`, an integer that fits 64 signed bits.
template <py::Literal Name>
[[nodiscard]] bool attr_size(PyObject* obj, std::int64_t& out) {
    py::Ref value = py::get_attr<Name>(obj);
    return value && py::arg_i64(Name.text, value.get(), out);
}

// `obj.Name`, None (empty `out`) or such an integer.
template <py::Literal Name>
[[nodiscard]] bool attr_opt_size(PyObject* obj, std::optional<std::int64_t>& out) {
    py::Ref value = py::get_attr<Name>(obj);
    if (!value) return false;
    out.reset();
    if (value.get() == Py_None) return true;
    std::int64_t n;
    if (!py::arg_i64(Name.text, value.get(), n)) return false;
    out = n;
    return true;
}

// `a.is_compatible(b)`, called by name; the answer must be a bool
// (TypeError "is_compatible() must return a bool, not {type}").
[[nodiscard]] int spec_is_compatible(PyObject* a, PyObject* b);

// `spec.is_compatible(field.value)`.
[[nodiscard]] int compatible_with_value(PyObject* spec, PyObject* field);

}  // namespace vesk::typing
