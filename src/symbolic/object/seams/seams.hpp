// The object seam functions: what the package asks of one symbolic object
// outside construction and attribute writes (its live fields, a shallow
// clone, a construction from already validated values, the unchecked write
// of its rebinding, whether it was constructed). Each declines (None or False)
// where it does not apply, and the package then takes its own road.
#pragma once

#include "py/python.hpp"

namespace vesk::symbolic::object {

// `_native_object_inline_fields(obj)`: the live field dictionary of a
// SymObject (not a copy); None for a blank object or any other object.
PyObject* native_object_inline_fields(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames);

// `_native_object_clone_inline_shallow(obj)`: a new object of the same class
// sharing the field values (symbolic containers cloned, objects shared), a
// root with the source's flags; None for a blank object, any other object,
// or a class keeping a tree whose fields hold a topology-aware value.
PyObject* native_object_clone_inline_shallow(PyObject* module, PyObject* const* args,
                                             Py_ssize_t nargs, PyObject* kwnames);

// `_native_object_clone_construct(obj, allow_partial, sealed, kwargs, src,
// deep, memo)`: constructs `obj` (a SymObject or a record with its node-state
// cells) from already validated values, copying its non-symbolic attributes
// from `src`; True when done, False for anything else.
PyObject* native_object_clone_construct(PyObject* module, PyObject* const* args,
                                        Py_ssize_t nargs, PyObject* kwnames);

// `_native_object_set_item_no_check(obj, key, value)`: the rebinding write,
// without the permission gates and without notification: the field update,
// or None when nothing changed. Anything but a symbolic write goes through
// the object's `_sym_attributes`.
PyObject* native_object_set_item_no_check(PyObject* module, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames);

// `_probe_object_is_inline(obj)`: whether the SymObject has its field
// dictionary (False only for a blank object).
PyObject* probe_object_is_inline(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);

// The module tables, each in binding order: the four object seams; the
// inline-storage probe. (The container-field probes are in
// container_fields.hpp.)
extern PyMethodDef object_seam_functions[];
extern PyMethodDef object_probe_functions[];

}  // namespace vesk::symbolic::object
