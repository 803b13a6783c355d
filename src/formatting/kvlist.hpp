// The module function `kvlist_str`.
#pragma once

#include "py/python.hpp"

namespace vesk::formatting {

PyObject* kvlist_str_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vesk::formatting
