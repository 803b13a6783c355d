// The module functions of the node-state interface: the topology operations
// for the package's record classes (which forward their `topo_setparent`,
// `topo_setpath`, `sym_setorigin` and `sym_seal` to them) and the raw role
// probes. Each takes the instance first and works on SymObjects and records
// alike.
#pragma once

#include "py/python.hpp"

namespace vesk::symbolic::object {

// The module table entries of the functions below, their docstrings the
// text signatures of the parameters they parse: the four topology
// operations, and the two role probes.
extern PyMethodDef node_topology_functions[];
extern PyMethodDef node_probe_functions[];

// `_node_setparent(inst, parent=None)`
PyObject* node_setparent(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
// `_node_setpath(inst, path=None)`
PyObject* node_setpath(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);
// `_node_setorigin(inst, source, tag, stacktrace=None, stacklimit=None, stacktop=-1)`
PyObject* node_setorigin(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
// `_node_seal(inst, is_seal=True)`
PyObject* node_seal(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames);
// `_probe_node_get(inst, role)`: the occupant, None when empty.
PyObject* probe_node_get(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
// `_probe_node_set(inst, role, value=None)`: None empties the role.
PyObject* probe_node_set(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);

}  // namespace vesk::symbolic::object
