// The object JSON seams: one native pass over an object's field dictionary
// for the common cases of the package's object JSON conversion, declining
// (None or False) wherever the package's own Python loop must decide.
//
//   `_native_inline_object_to_json(obj, plan)`: "_type" first, then the
//       fields named by `plan`, in its order;
//   `_native_inline_object_to_json_open(obj)`: the same for a class whose
//       schema takes extra str keys, in the order of the schema's open plan;
//   `_native_from_json_all_plain(json_value, raw_safe)`: whether a JSON
//       dict can be passed to a class as keyword arguments unconverted.
#pragma once

#include "py/python.hpp"

namespace vesk::symbolic::json {

// The module table entries of the three seams, in registration order.
extern PyMethodDef object_json_functions[];

PyObject* native_inline_object_to_json(PyObject* module, PyObject* const* args,
                                       Py_ssize_t nargs, PyObject* kwnames);
PyObject* native_inline_object_to_json_open(PyObject* module, PyObject* obj);
PyObject* native_from_json_all_plain(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames);

}  // namespace vesk::symbolic::json
