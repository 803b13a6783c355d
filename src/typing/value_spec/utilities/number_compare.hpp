// The comparison of a number against a Number spec's bound, shared by the
// spec's own check and the element rule that passes bounded numbers.
#pragma once

#include "py/python.hpp"

#include <cmath>

namespace vesk::typing {

// `a < b` (op Py_LT) or `a > b` (Py_GT): 1, 0, or -1 with an exception set.
// Exact ints that fit a machine word and exact floats compare natively (no
// user code can take part for exact built-in classes); anything else takes
// the interpreter's comparison.
[[nodiscard]] inline int compare_numbers(PyObject* a, PyObject* b, int op) {
    if (PyLong_CheckExact(a) && PyLong_CheckExact(b)) {
        auto* x = reinterpret_cast<PyLongObject*>(a);
        auto* y = reinterpret_cast<PyLongObject*>(b);
        if (PyUnstable_Long_IsCompact(x) && PyUnstable_Long_IsCompact(y)) {
            const Py_ssize_t u = PyUnstable_Long_CompactValue(x);
            const Py_ssize_t v = PyUnstable_Long_CompactValue(y);
            return op == Py_LT ? u < v : u > v;
        }
    } else if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
        const double u = PyFloat_AS_DOUBLE(a);
        const double v = PyFloat_AS_DOUBLE(b);
        return op == Py_LT ? u < v : u > v;
    }
    return PyObject_RichCompareBool(a, b, op);
}

// Whether `value` is a float NaN, which no bound contains: every comparison
// with it is false, so the two range tests alone would let it through. A
// Float spec with at least one bound refuses it.
[[nodiscard]] inline bool is_float_nan(PyObject* value) noexcept {
    return PyFloat_Check(value) && std::isnan(PyFloat_AS_DOUBLE(value));
}

}  // namespace vesk::typing
