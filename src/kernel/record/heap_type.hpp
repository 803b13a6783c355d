// Record heap types built at run time, one per `slots=True` class of the
// package, and the baking of the class's topology mode and non-symbolic
// fields into their field descriptors.
#pragma once

#include "py/args.hpp"

namespace vesk::kernel::record {

// The parameters of the functions below, which their docstrings show.
extern py::Params<4> kMakeRecordParams;
extern py::Params<5> kMakeSubtypeParams;
extern py::Params<0> kRecordLayoutParams;
extern py::Params<0> kTopologyReservedParams;
extern py::Params<2> kSetEnableTopoParams;
extern py::Params<2> kSetFieldKindsParams;

// `_kernel_make_record(name, field_names, reserved_count, enable_topo=True)`
PyObject* make_record(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);
// `_kernel_make_record_subtype(base, name, field_names, reserved_count, enable_topo=True)`
PyObject* make_record_subtype(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);
// `_kernel_record_layout()`: (object_basicsize, 8).
PyObject* record_layout(PyObject* module);
// `_kernel_topology_reserved()`: 9.
PyObject* topology_reserved(PyObject* module);
// `_kernel_set_record_enable_topo(record_type, enable_topo)`
PyObject* set_record_enable_topo(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);
// `_kernel_set_record_field_kinds(record_type, non_symbolic_names)`
PyObject* set_record_field_kinds(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);

}  // namespace vesk::kernel::record
