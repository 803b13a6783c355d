// Whether adopting a value would leave it as it is: the read by which a
// view of a node's members (an object's `_sym_attributes`, a record's view)
// takes them as they sit, claiming nothing and calling no hook, where the
// adoption would change nothing either (the common case: every member a
// write or a construction stored sits under its holder already).
//
// It decides as `adopt_child` does (adoption.cpp), by reads alone: a native
// container's state read natively, any other node's through its
// `_topo_parent`, `_topo_path` and `enable_topo`. A member whose adoption
// would place it (free), clone, share or refuse it (held elsewhere, or
// under another key), stamp it (a topology-aware value of another kind) or
// unstamp it (a path left from an earlier placement) does not stay: the
// caller then adopts it under its claims.
#pragma once

#include "py/ref.hpp"
#include "symbolic/adoption.hpp"

namespace vesk::symbolic {

// 1 when `adopt_child(child, args)` would give `child` back unchanged and
// change nothing of it; 0 when it would not; -1 on error.
[[nodiscard]] int stays_in_place(PyObject* child, const AdoptArgs& args);

}  // namespace vesk::symbolic
