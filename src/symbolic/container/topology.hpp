// The topology surface SymDict and SymList share: sealing that recurses into
// the children, setting a path that re-paths them, setting a parent,
// recording an origin, and `_topo_parent_for_children` of a dictionary.
// Adoption and the package reach these methods by attribute name, so a
// subclass's override is honoured on those roads.
//
// Each function takes the container's state type; the kinds differ only in
// how their members are walked (`Members<S>` in topology.cpp). No hold is
// kept while children, the bridge or comparison operators run.
#pragma once

#include "py/python.hpp"

namespace vesk::symbolic {

// `sym_seal(is_seal)` natively: children first, then the container. 0 or -1.
template <class S>
[[nodiscard]] int seal_container(PyObject* self, bool is_seal);
// Re-paths the children under `new_path` (`_update_children_paths`). 0 or -1.
template <class S>
[[nodiscard]] int repath_children(PyObject* self, PyObject* new_path);
// `topo_setpath(path)` natively (null: None). 0 or -1.
template <class S>
[[nodiscard]] int set_path(PyObject* self, PyObject* path);
// `topo_setparent(parent)` natively (null: None). 0 or -1.
template <class S>
[[nodiscard]] int set_parent(PyObject* self, PyObject* parent);

template <class S>
PyObject* sym_seal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
template <class S>
PyObject* topo_setpath(PyObject* self, PyObject* path);
template <class S>
PyObject* update_children_paths(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
template <class S>
PyObject* topo_setparent(PyObject* self, PyObject* parent);
template <class S>
PyObject* sym_setorigin(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);

// `_topo_parent_for_children` of a SymDict: the node's parent (None when
// absent) for an object's attributes container, else the dictionary.
PyObject* topo_parent_for_children(PyObject* self);

}  // namespace vesk::symbolic
