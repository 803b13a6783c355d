// Child adoption: when a value is stored under a key of a symbolic container
// or a field of a symbolic object, its owner adopts it. Adoption decides, by
// the assign policy and by where the value already sits, whether the value
// is taken unchanged, cloned, shared or refused; keeps the tree free of
// cycles; stamps path and then parent on the child; and detaches a child that
// a write replaces.
//
// Every call a child gets (`sym_clone`, `topo_setpath`, `topo_setparent`, its
// `_topo_parent` and `_topo_path`) goes through Python attribute lookup, so
// native containers, objects and pure-Python symbolic classes are treated
// alike. Nothing here holds a lock or a hold while Python code runs; a
// failure is raised at once and nothing done before it is undone.
#pragma once

#include "py/ref.hpp"
#include "symbolic/claimed.hpp"

namespace vesk::symbolic {

struct AdoptArgs {
    PyObject* key = nullptr;        // the key or index the child is stored under
    bool adopting = true;           // the owner keeps a tree (its enable_topo)
    PyObject* owner_path = nullptr; // the owner's key path; null or None for a root
    PyObject* container = nullptr;  // what holds the child; the cycle walk starts here
    PyObject* parent_to_set = nullptr;  // the parent the child gets (may be None)
    ClaimedSet* claimed = nullptr;  // the operation's claimed set, or null
    bool parent_set_by_caller = false;  // only the path is stamped here
    PyObject* policy = nullptr;     // the assign policy text, or null
};

// The value to store: `child` itself or its clone; null with an exception.
[[nodiscard]] py::Ref adopt_child(PyObject* child, const AdoptArgs& args);

// A native container's own enable_topo; else `value.enable_topo`, which
// must read as a bool scalar. 1, 0 or -1.
[[nodiscard]] int strict_topology_flag(PyObject* value);

// Topology-aware, and either not symbolic or with its strict topology flag
// set: the value takes a parent. 1, 0 or -1.
[[nodiscard]] int needs_parenting(PyObject* value);

// Unhooks a child that a write replaces or removes: `topo_setparent(None)`,
// then `topo_setpath(keypath_cls())`, unless it is not topology-aware or its
// lenient topology flag is false. 0 or -1.
[[nodiscard]] int detach_old_child(PyObject* value);

// Resets the path a parentless child still carries from an earlier placement
// under this very key of this very owner to the shared empty path. 0 or -1.
[[nodiscard]] int unstamp_phantom_path(PyObject* key, PyObject* child, PyObject* owner_path);

}  // namespace vesk::symbolic
