// The native JSON walk of symbolic trees: `_native_to_json_walk(value)`
// answers the JSON-ready form of a whole symbolic tree (containers, objects
// and records, nested), or None where only the package's own serializer
// can decide, and `_set_default_object_sym_jsonify(func)` records the
// package's default object hook, which an object's class must still carry
// for the walk to speak for it.
//
// The walk answers exactly what the package would, or declines: a decline
// anywhere declines the whole value, an error anywhere raises. Its output
// never shares a mutable container with the tree: every dict and list in it
// is new, and primitives are immutable.
#pragma once

#include "py/python.hpp"

namespace vesk::symbolic::json {

// The module table entries of the two functions, in registration order.
extern PyMethodDef walk_functions[];

// `_native_to_json_walk(value)`: the JSON value, None to decline.
PyObject* native_to_json_walk(PyObject* module, PyObject* value);
// `_set_default_object_sym_jsonify(func)`: stores the hook once; None.
PyObject* set_default_object_sym_jsonify(PyObject* module, PyObject* func);

}  // namespace vesk::symbolic::json
