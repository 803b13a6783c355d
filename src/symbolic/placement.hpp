// A symbolic node's placement as its own state tells it (parent and path),
// and the giving back of a placement a failed write changed.
//
// Both read a native container's state natively and any other node's
// through its `_topo_parent` and `_topo_path`, and both write it through the
// node's own `topo_setpath` and `topo_setparent`, so pure-Python symbolic
// classes are treated alike.
#pragma once

#include "py/ref.hpp"
#include "symbolic/child_state.hpp"

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

// Gives `node` back what `prior` read of it, where a write that failed
// changed it: its parent (when `parent`) and its path (when `path`; an
// absent one as the empty key path), by the node's own calls. The parent
// first when `parent_first` (undoing a stamping, which set the path first),
// else the path first (undoing a letting go). Best effort: a failure is
// dropped, and the pending exception is kept.
void give_back(PyObject* node, const Placement& prior, bool parent, bool path,
               bool parent_first) noexcept;

}  // namespace vesk::symbolic
