// The argument checks shared by the test-only seams: each seam takes exactly
// its positional arguments.
#pragma once

#include "py/python.hpp"

namespace vesk::seams {

// Exactly `n` positional arguments, or TypeError.
[[nodiscard]] inline bool arity(const char* name, Py_ssize_t nargs, PyObject* kwnames,
                                Py_ssize_t n) {
    if (nargs == n && !kwnames) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments", name, n);
    return false;
}

}  // namespace vesk::seams

#define SEAM_ARGS PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames
#define SEAM_ARITY(name, n) \
    if (!::vesk::seams::arity(name, nargs, kwnames, n)) return nullptr
