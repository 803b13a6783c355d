// The module function `format`.
#pragma once

#include "py/python.hpp"

namespace vesk::formatting {

PyObject* format_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vesk::formatting
