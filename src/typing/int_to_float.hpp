// An exact int widened to a float as `float(value)` does it, where a spec
// that takes floats accepts an int: the funnel's leaf step, the element
// rules and the List's widening road share it.
#pragma once

#include "py/python.hpp"
#include "py/ref.hpp"

namespace vesk::typing {

// `float(value)` for an exact int (null with OverflowError for one too
// large). A compact int (one digit: every int below 2**30 in magnitude) is
// read in place and is exact as a double, as the interpreter's own
// conversion reads it; only a larger one takes the generic conversion.
[[nodiscard]] inline py::Ref int_to_float(PyObject* value) {
    auto* number = reinterpret_cast<PyLongObject*>(value);
    double d;
    if (PyUnstable_Long_IsCompact(number)) {
        d = static_cast<double>(PyUnstable_Long_CompactValue(number));
    } else {
        d = PyLong_AsDouble(value);
        if (d == -1.0 && PyErr_Occurred()) return {};
    }
    return py::Ref::steal(PyFloat_FromDouble(d));
}

}  // namespace vesk::typing
