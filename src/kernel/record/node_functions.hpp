// The package's role-indexed access to a record's node-state cells.
#pragma once

#include "py/args.hpp"

namespace vesk::kernel::record {

// The parameters of the functions below, which their docstrings show.
extern py::Params<2> kSlotNodeGetParams;
extern py::Params<3> kSlotNodeSetParams;
extern py::Params<3> kSlotNodeSetIfAbsentParams;

// `_slot_node_get(inst, role)`: the occupant, None when empty.
PyObject* slot_node_get(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);
// `_slot_node_set(inst, role, value=None)`: None (or omitted) empties the cell.
PyObject* slot_node_set(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);
// `_slot_node_set_if_absent(inst, role, value)`: the occupant after the call.
PyObject* slot_node_set_if_absent(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);

}  // namespace vesk::kernel::record
