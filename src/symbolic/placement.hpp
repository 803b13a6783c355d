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
    // What the node told: a value that keeps a tree without telling its place
    // (topology-aware, not symbolic) is given back only what it told.
    bool parent_known = true;
    bool path_known = true;
};

// Whether a parent or path read off a node stands for none.
[[nodiscard]] inline bool is_absent(const py::Ref& r) noexcept { return !r || r.get() == Py_None; }

// The node's parent and path. False with an exception. With `lenient`, an
// attribute the node does not have is left unknown instead.
[[nodiscard]] bool read_placement(PyObject* node, Placement& out, bool lenient = false);

// The reading a native container's state gives (read_child_state). Moves
// the state's references.
[[nodiscard]] inline Placement placement_of(ChildState&& state) noexcept {
    Placement out;
    out.parent = is_absent(state.parent) ? py::Ref() : std::move(state.parent);
    out.path = std::move(state.path);
    out.native = true;
    return out;
}

// Where a node's own state says it sits against `parent`: it names that
// parent (Parent), no parent (None), another one (Other), or cannot tell
// (Unknown: its parent cannot be read). Keeps the pending exception; a
// failure of the read is dropped.
enum class Names : unsigned char { Parent, None, Other, Unknown };
[[nodiscard]] Names names_parent(PyObject* node, PyObject* parent) noexcept;

// Gives `node` back what `prior` read of it, where a write that failed
// changed it: its parent (when `parent`) and its path (when `path`; an
// absent one as the empty key path), by the node's own calls, each only as
// far as `prior` knows it. The parent first when `parent_first` (undoing a
// stamping, which set the path first), else the path first (undoing a
// letting go). Keeps the pending exception. False when the node refused its
// parent (that call failed): it keeps the place its hook left it, and after
// a parent refused first its path is not touched either, unless it names no
// parent. A path it refuses is dropped: the node keeps the parent it took.
[[nodiscard]] bool give_back(PyObject* node, const Placement& prior, bool parent, bool path,
                             bool parent_first) noexcept;

// Gives `node`, which a write let go (its parent when `parent`, its path
// when `path`) and now takes back, the place `prior` read of it, for the
// slot that is to hold it again (`give_back`, the path first). Whether it
// has that place: false when it would not take its parent back, or names
// another parent now (a hook of its own placed it elsewhere meanwhile). The
// slot is then no longer its place, and must not hold it. Keeps the pending
// exception.
[[nodiscard]] bool take_back(PyObject* node, const Placement& prior, bool parent,
                             bool path) noexcept;

}  // namespace vesk::symbolic
