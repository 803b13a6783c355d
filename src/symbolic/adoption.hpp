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
// A symbolic child is placed under a claim (claim.hpp): where it sits is
// decided from its home, and the placement takes effect when the writer
// commits it at its store (`Adoption::take_effect`, or the list's store
// under its own lock). A placement that finds the child held elsewhere by
// then takes the held-elsewhere road there, as it would have had it come
// second. A write that fails leaves the child for its session to set right
// (its own state back to its home).
#pragma once

#include <optional>

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
    // The child was read from another container (a copy's source): one held
    // elsewhere by the time it is placed still counted as that container's
    // when it was read, so it is cloned, never refused or shared.
    bool clone_if_claimed = false;
    // The child goes in before a list's position, never onto it: it is
    // never found in place there.
    bool inserting = false;
};

// What a write keeps of one adoption until it has stored the child: the
// claim on a child it placed, and how to finish or undo the placement.
class Adoption {
private:
    // The write's arguments with references of their own, kept once the
    // placement enters a session: the claim names the key and the parent to
    // other writes until it leaves, and the held-elsewhere road may need
    // them after the write's own are gone. Declared first, so they go after
    // the claim. Empty for a value taken as it is, which keeps a write that
    // adopts nothing from paying for them.
    struct KeptArgs {
        py::Ref key, parent, policy, owner_path, container;
        AdoptArgs args;
    };
    std::optional<KeptArgs> kept_;

public:
    py::Ref value;  // what to store: the child or its clone
    Claim claim;    // on the child, held until the write is done (may be empty)

    Adoption() noexcept = default;
    Adoption(Adoption&&) noexcept = default;
    Adoption& operator=(Adoption&& other) noexcept {
        if (this != &other) {
            claim.leave();  // before the references it names go
            value = std::move(other.value);
            claim = std::move(other.claim);
            kept_ = std::move(other.kept_);
            stamped_ = other.stamped_;
            yielded_ = other.yielded_;
            unclaimed_placed_ = other.unclaimed_placed_;
            stamped_under_ = std::move(other.stamped_under_);
            new_path_ = std::move(other.new_path_);
            topo_aware_ = other.topo_aware_;
        }
        return *this;
    }

    // The placement takes effect, for a store the caller makes next: 1 with
    // `value` to store (the child, or, held elsewhere by now, what adoption
    // makes of it then: a clone or the child shared; a child that yielded
    // its stamping gets it with `stamp_late` before it is stored); 0 when
    // the child sits in the slot already (store nothing); -1 with an
    // exception (refused). Nothing to do without a claim. `in_slot(ctx)`
    // (1, 0 or -1), when given, tells whether the slot holds the child
    // now: a child another write placed there first is in place.
    [[nodiscard]] int take_effect(int (*in_slot)(void* ctx) = nullptr, void* ctx = nullptr);
    // The native half, for a caller that stores the child under `landed` in
    // the same critical section of its storage: Lost leaves
    // `held_elsewhere` to run once the lock is let go.
    [[nodiscard]] Claim::Commit commit(PyObject* landed) noexcept { return claim.commit(landed); }
    // The held-elsewhere road of a placement whose commit was lost: 1 with
    // `value` to store (no claim), -1 with an exception.
    [[nodiscard]] int held_elsewhere();
    // A placement that deferred its stamping to a writer letting the child
    // go from this very slot stamps it now, before it stores it there (the
    // slot no longer holds it): 0 (nothing when it did not defer), or -1
    // with the adoption undone.
    [[nodiscard]] int stamp_late();
    [[nodiscard]] bool stamp_pending() const noexcept { return yielded_; }

    // The write failed before its store: a commit is withdrawn and the
    // child left for its session to set right; a value of another kind
    // stamped here gets its freedom back. Keeps the pending exception.
    void undo() noexcept;
    // A construction that stamped the child fails before its placement takes
    // effect: what it stamped stands, as it does alone (its path, and its
    // parent when `parented`), and the write leaves.
    void abandon_stamped(bool parented) noexcept;
    // The child is stored: nothing is left to undo, and the write leaves
    // its session (what it does after the store, re-pathing the child, it
    // does as a write settling it).
    void mark_stored() noexcept {
        unclaimed_placed_ = false;
        claim.leave();
    }
    // Leaves the claim: the write is done with the child.
    void done() noexcept { claim.leave(); }
    // The write's arguments, kept while the claim is held (only a placement
    // that entered a session has them).
    [[nodiscard]] const AdoptArgs& args() const noexcept { return kept_->args; }

    // Whether the value to store is a symbolic value stamped with a path
    // under its owner's (a child placed or stamped again here, a clone; a
    // value of another kind keeps the plain stamping), and the owner's path
    // it was stamped under (null for none): a write re-paths it should the
    // owner have moved, or the value have landed elsewhere, by its store.
    [[nodiscard]] bool stamped() const noexcept { return stamped_; }
    [[nodiscard]] PyObject* stamped_under() const noexcept { return stamped_under_.get(); }

private:
    friend bool adopt_child(PyObject* child, const AdoptArgs& args, Adoption& out);
    friend struct Adopter;

    void mark_stamped(PyObject* owner_path) noexcept {
        stamped_ = true;
        stamped_under_ = py::Ref::borrow(owner_path);
    }

    // Keeps the write's arguments, the references its own.
    void keep_args(const AdoptArgs& a);

    bool stamped_ = false;
    bool yielded_ = false;           // stamping deferred (above)
    bool unclaimed_placed_ = false;  // a topology-aware value of another kind, stamped
    py::Ref stamped_under_;
    py::Ref new_path_;
    bool topo_aware_ = false;
};

// Adopts `child`, keeping the claim on a placed child in `out` for the
// caller's store. False with an exception.
[[nodiscard]] bool adopt_child(PyObject* child, const AdoptArgs& args, Adoption& out);

// The value to store: `child` itself or its clone; null with an exception.
// The placement takes effect before it returns (the caller stores the value
// in a container no other thread sees yet, or the package stores it).
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
