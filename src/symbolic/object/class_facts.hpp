// What the object members and the node-state interface ask of a symbolic
// object's class: its `topo` option and whether it overrides the topology
// hooks, as recorded in the class's constructor metadata (ctor_meta.hpp;
// built on first use, when its failure is raised).
#pragma once

#include "py/python.hpp"

namespace vesk::symbolic::object {

// The node facts of an instance. For anything but a SymObject all four are
// undecided (`decided` false, every flag false).
struct NodeFacts {
    bool decided = false;
    bool topo_enabled = false;                // truth of `__sym_options__.topo`
    bool parent_change_overridden = false;    // `on_topo_parent_change` is not the default
    bool update_children_overridden = false;  // `_update_children_paths` is not the default
    bool path_change_overridden = false;      // `on_topo_path_change` is not the default
};

// The node facts of `inst`; false with an exception set when building the
// class's metadata failed (the object bridge must be installed).
[[nodiscard]] bool node_facts(PyObject* inst, NodeFacts& out);

// `enable_topo_of(obj)`: the `topo` option of `type(obj)` as a strict bool
// (anything but a bool scalar is TypeError). 1, 0 or -1.
[[nodiscard]] int enable_topo_of(PyObject* obj);

}  // namespace vesk::symbolic::object
