// What adoption and the topology walks read of a child that is itself a
// native symbolic container, without calling into Python.
#pragma once

#include "py/ref.hpp"
#include "symbolic/node.hpp"

namespace vesk::symbolic {

enum class ContainerKind : unsigned char { None, Dict, List };

// Whether `value` is a SymDict or a SymList (subclasses included). Never
// fails; runs no Python code.
[[nodiscard]] ContainerKind container_kind(PyObject* value) noexcept;

struct ChildState {
    py::Ref parent;  // null: none
    py::Ref path;    // null: none
    bool enable_topo = true;
};

// The node's parent and path and the container's enable_topo flag, read
// under a shared hold: 1 with `out` filled, 0 when `value` is not a native
// container, -1 with "Already mutably borrowed" while it is held for a write.
[[nodiscard]] int read_child_state(PyObject* value, ChildState& out);

// The native parent of a native node (node_ops.hpp): 1 with `out` set (null
// when it has none), 0 when `value` is none, -1 on error.
[[nodiscard]] int native_parent(PyObject* value, py::Ref& out);

}  // namespace vesk::symbolic
