// The attribute-write slot of SymObject: a write of a field that the
// object's class constructs from keywords is symbolic (store_field.hpp);
// any other attribute, and every deletion, is a plain instance attribute of
// the package's composed class.
#pragma once

#include "py/ref.hpp"

namespace vesk::symbolic::object {

// How a write of one attribute name is taken.
struct WriteClass {
    py::Ref field;       // the governing field; null when the name is no field
    py::Ref schema;      // the schema the class records
    bool symbolic = false;
    bool enable_topo = false;  // the class's `topo` option
    py::Ref root_path;   // a public init field's key path under a root; else null
};

// Classifies a write of `name` (a str) on instances of `cls`: a public init
// field is symbolic; otherwise the field `cls.__schema__.get_field(name)`
// decides: symbolic when its `enable_init` is truthy and the name is
// public. False with an exception set when a read failed.
[[nodiscard]] bool classify_write(PyObject* cls, PyObject* name, WriteClass& out);

// The slot (`__setattr__` / `__delattr__`; `value` null deletes). 0 or -1.
[[nodiscard]] int object_setattro(PyObject* obj, PyObject* name, PyObject* value);

}  // namespace vesk::symbolic::object
