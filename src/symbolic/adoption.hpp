// Child adoption: when a value is stored under a key of a symbolic container
// or a field of a symbolic object, its owner adopts it. Adoption decides, by
// the assign policy and by where the value already sits, whether the value
// is taken unchanged, cloned, shared or refused; keeps the tree free of
// cycles; and stamps path and then parent on the child. (A child a write
// replaces is let go by the write itself, write_core.hpp.)
//
// Every call a child gets (`sym_clone`, `topo_setpath`, `topo_setparent`, its
// `_topo_parent` and `_topo_path`) goes through Python attribute lookup, so
// native containers, objects and pure-Python symbolic classes are treated
// alike. Nothing here holds a lock or a hold while Python code runs.
//
// A symbolic child is placed under a claim (claim.hpp): the decision where it
// sits, the cycle walk and the stamping are made while no other write places
// it elsewhere, and a child another write is placing elsewhere, or letting
// go, meanwhile counts as held elsewhere. A failure while a claimed child is
// stamped gives it back its freedom (no parent, its path as it was) before
// it is raised, or, where another write met this one on it, leaves that to
// the last of them; a failure before that leaves what the calls already did.
#pragma once

#include "py/ref.hpp"
#include "symbolic/claim.hpp"
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
    // The child was read from another container (a copy's source): one that
    // another write is placing or letting go meanwhile still counted as that
    // container's when it was read, so it is cloned, never refused.
    bool clone_if_claimed = false;
};

// The value to store: `child` itself or its clone; null with an exception.
[[nodiscard]] py::Ref adopt_child(PyObject* child, const AdoptArgs& args);

// What a write keeps of one adoption until it has stored the child: the
// claim on a child it placed, and how to undo the placement should the write
// fail before the store.
class Adoption {
public:
    py::Ref value;  // what to store: the child or its clone
    Claim claim;    // on the child, held until the store (may be empty); ends first

    // Gives a child this adoption placed back its freedom: no parent, its
    // path as it was before (the empty path when that was unknown), through
    // its `topo_setparent` and `topo_setpath`. Nothing for a clone, a child
    // stamped again where it already sat, or one taken unchanged. Best effort:
    // the exception pending (the write's own) is kept.
    void undo() noexcept;
    // Whether the value to store is a symbolic value stamped with a path
    // under its owner's (a child placed or stamped again here, a clone; a
    // value of another kind keeps the plain stamping), and the owner's path
    // it was stamped under (null for none): a write re-paths it should the
    // owner have moved, or the value have landed elsewhere, by its store.
    [[nodiscard]] bool stamped() const noexcept { return stamped_; }
    [[nodiscard]] PyObject* stamped_under() const noexcept { return stamped_under_.get(); }
    void mark_stamped(PyObject* owner_path) noexcept {
        stamped_ = true;
        stamped_under_ = py::Ref::borrow(owner_path);
    }
    // Another write was letting the child go from the very slot this one
    // places it in: this write came first and found it there, so it stores
    // nothing (claim.hpp).
    [[nodiscard]] bool yielded() const noexcept { return yielded_; }
    void mark_yielded() noexcept { yielded_ = true; }
    // The child is about to be stored (claim.hpp, `storing`).
    void storing() noexcept { claim.storing(); }
    // The child is stored: there is nothing to undo any more, and the claim
    // on it no longer counts against other writes placing it.
    void mark_stored() noexcept {
        placed_ = false;
        claim.stored();
    }
    // Records that the adoption gave the child its place; `prior_path` is
    // its path before (null: unknown).
    void mark_placed(py::Ref prior_path) noexcept {
        placed_ = true;
        prior_path_ = std::move(prior_path);
    }

private:
    bool placed_ = false;
    bool yielded_ = false;
    bool stamped_ = false;
    py::Ref prior_path_;
    py::Ref stamped_under_;
};

// The same, keeping the claim on the placed child in `out` for the caller's
// store. False with an exception.
[[nodiscard]] bool adopt_child(PyObject* child, const AdoptArgs& args, Adoption& out);

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
