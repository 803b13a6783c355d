// A symbolic node's placement as its own state tells it (parent and path),
// and the setting right of that state to the node's home (claim.hpp).
//
// Both read a native container's state natively and any other node's
// through its `_topo_parent` and `_topo_path`, and both write it through
// the node's own `topo_setpath` and `topo_setparent`, so pure-Python
// symbolic classes are treated alike.
#pragma once

#include "py/ref.hpp"
#include "symbolic/child_state.hpp"
#include "symbolic/home.hpp"

namespace vesk::symbolic {

struct Placement {
    py::Ref parent;  // null: none (a parent stored as None reads as none)
    py::Ref path;
    bool native = false;  // read from a native container's state
};

// Whether a parent or path read off a node stands for none.
[[nodiscard]] inline bool is_absent(const py::Ref& r) noexcept { return !r || r.get() == Py_None; }

// The node's parent and path. False with an exception.
[[nodiscard]] bool read_placement(PyObject* node, Placement& out);

// The reading a native container's state gives (read_child_state). Moves
// the state's references.
[[nodiscard]] inline Placement placement_of(ChildState&& state) noexcept {
    Placement out;
    out.parent = is_absent(state.parent) ? py::Ref() : std::move(state.parent);
    out.path = std::move(state.path);
    out.native = true;
    return out;
}

// The home a reading of a node's state gives: free without a parent, else
// stored where its path names. Moves the reading's references.
[[nodiscard]] Home home_of(Placement&& reading);

// Makes the let-go calls `owed` and then sets the node's state right to
// `home`: where its path or parent differs from the home's, `topo_setpath`
// and `topo_setparent` (a free node: the parent first). Nothing is set right
// once `unmet(node)` says another write met the node since `home` was read
// (a placement stamping it now): the last of those sets it right again, and
// a call from this stale home would undo that write's stamps, letting the
// node go where no write let it go. Best effort: a failure is dropped, the
// pending exception kept by the caller.
void set_node_right(PyObject* node, const Owed& owed, const Home& home,
                    bool (*unmet)(PyObject* node) noexcept) noexcept;

}  // namespace vesk::symbolic
