// Child adoption: when a value is stored under a key of a symbolic container
// or a field of a symbolic object, its owner adopts it. Adoption decides, by
// the assign policy and by where the value already sits, whether the value
// is taken unchanged, cloned, shared or refused; keeps the tree free of
// cycles; and stamps path and then parent on the child. (A child a write
// replaces is let go by the write itself, write_core.hpp.)
//
// Every call a child gets (`sym_clone`, `topo_setpath`, `topo_setparent`, its
// `_topo_parent`, `_topo_path` and `enable_topo`) goes through Python
// attribute lookup, so native containers, objects and pure-Python symbolic
// classes are treated alike. Nothing here holds a lock or a hold while
// Python code runs.
//
// Adoption first claims the child (claim.hpp) in the calling thread's
// innermost claim scope, before it reads anything of it, so the child's
// place cannot change under its decision; the write that adopts keeps the
// claim until it is done. A child another thread claims makes the adoption
// fail at once with the borrow refusal, having done nothing to it.
#pragma once

#include "py/ref.hpp"
#include "symbolic/claimed.hpp"
#include "symbolic/placement.hpp"

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
    // The child was read from another container (a copy's source): one held
    // elsewhere is cloned, never refused or shared.
    bool clone_if_claimed = false;
    // The child goes in before a list's position, never onto it: a child
    // the list holds is never in place for it.
    bool inserting = false;
};

// What a write keeps of one adoption until it has stored the value: the
// value, and what its stamping changed on the child, to give back should
// the write fail before its store.
class Adoption {
public:
    py::Ref value;  // what to store: the child or its clone

    Adoption() noexcept = default;
    Adoption(Adoption&&) noexcept = default;
    Adoption& operator=(Adoption&&) noexcept = default;

    // The write failed before its store: the child gets back the parent and
    // path it had. Keeps the pending exception.
    void undo() noexcept;
    // The value is stored: nothing is left to undo.
    void stored() noexcept { stamped_.reset(); }
    // Whether the adoption stamped a path on the value (placed, stamped
    // again, or a clone).
    [[nodiscard]] bool path_stamped() const noexcept { return path_set_; }

private:
    friend struct Adopter;

    py::Ref stamped_;  // the child stamped here, whose prior state `prior_` is
    Placement prior_;
    bool path_set_ = false;
    bool parent_set_ = false;
    bool freed_ = false;  // a value of another kind: undo gives it its freedom
};

// Adopts `child`, keeping in `out` how to undo its stamping. False with an
// exception.
[[nodiscard]] bool adopt_child(PyObject* child, const AdoptArgs& args, Adoption& out);

// The value to store: `child` itself or its clone; null with an exception.
// For a caller that stores the value where a failure cannot follow (a
// container no other thread sees yet, or the package's own store).
[[nodiscard]] py::Ref adopt_child(PyObject* child, const AdoptArgs& args);

// A native container's own enable_topo; else `value.enable_topo`, which
// must read as a bool scalar. 1, 0 or -1.
[[nodiscard]] int strict_topology_flag(PyObject* value);

// Topology-aware, and either not symbolic or with its strict topology flag
// set: the value takes a parent. 1, 0 or -1.
[[nodiscard]] int needs_parenting(PyObject* value);

// Resets the path a parentless child still carries from an earlier placement
// under this very key of this very owner to the shared empty path. 0 or -1.
[[nodiscard]] int unstamp_phantom_path(PyObject* key, PyObject* child, PyObject* owner_path);

}  // namespace vesk::symbolic
