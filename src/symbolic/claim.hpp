// Claims: which writes are placing, settling or letting go of a symbolic
// node right now.
//
// A child's place in a tree (its parent and its path) is changed by the
// writes that adopt it, re-path it or let it go, through calls by name that
// run Python code (`topo_setpath`, `topo_setparent`). Those calls may take
// any time, so no write ever waits for another: writes on one node form a
// session, and a write that meets others there goes on as one of the
// sequential orders of the two writes would have it.
// - A write placing the node meets another placing it elsewhere, or letting
//   it go from another slot: the node counts as held elsewhere (the other
//   write came first), and adoption decides by its policy. Another placing
//   it where this one would (same container, same key): both stamp it alike
//   and either stores it. One letting it go from the very slot this write
//   places it in: this write came first, found it in place, and stores and
//   reports nothing.
// - A write letting the node go meets another write on it: it stores over
//   the node and leaves the letting go to that write (it came first).
// - A write settling a stored node (re-pathing it) never counts against the
//   others, nor does a placement from the moment it stores: a stored
//   child's claim makes it held elsewhere for no one.
// Where writes with different aims met, or one left without doing what it
// claimed to (a failed placement, a letting go its store never reached),
// the last write to leave the session sets the node right from where it is
// stored: the path and parent of the one container of the session holding
// it, or none when none does. Calls another write made meanwhile may have
// landed in any order; only the stored state tells which one holds.
//
// Claims are kept in one process-wide table keyed by identity, so any value
// can be claimed (a record has no free cell of its own), split into shards
// so that writes on different nodes rarely meet on one lock. A placement's
// destination is what the cycle walks of other writes follow: two writes
// racing nodes into each other's subtrees see each other's claims. A thread
// that already has a claim on a node (a hook of its own re-entering a
// write) gets an empty claim and goes on as if no claim existed.
//
// No lock is held while Python code runs. Leaving may run Python code (the
// setting right above); it keeps the exception pending, if any.
#pragma once

#include "py/ref.hpp"

#include <cstdint>
#include <utility>

namespace vesk::symbolic {

class Claim {
public:
    // What a write found on the node when it claimed it.
    enum class Taken : unsigned char {
        Sole,        // no other write is on it: this one decides alone
        Joined,      // another write places it where this one would
        Overtaking,  // (letting go) another write is on it and lets it go
        Busy,        // (placing) another write places it elsewhere or lets it go
        Yielded,     // (placing) another write lets it go from this very slot
        Reentered,   // this thread is on it already: as if unclaimed
    };

    Claim() noexcept = default;
    Claim(Claim&& other) noexcept
        : node_(std::exchange(other.node_, nullptr)),
          id_(std::exchange(other.id_, 0)),
          unsettled_(std::exchange(other.unsettled_, false)) {}
    Claim& operator=(Claim&& other) noexcept {
        if (this != &other) {
            leave();
            node_ = std::exchange(other.node_, nullptr);
            id_ = std::exchange(other.id_, 0);
            unsettled_ = std::exchange(other.unsettled_, false);
        }
        return *this;
    }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;
    ~Claim() { leave(); }

    // The write places `node` under `parent` at `key` of `container` (all
    // borrowed; the writer keeps them alive while it is on the node). Busy,
    // Yielded and Reentered claim nothing.
    [[nodiscard]] Taken place(PyObject* node, PyObject* container, PyObject* parent,
                              PyObject* key);
    // The write lets `node` go from the slot `key` of `container` (null: a
    // position), whose members get `parent`. Sole: this write detaches it;
    // Overtaking: the write already on it does. Reentered claims nothing.
    [[nodiscard]] Taken let_go(PyObject* node, PyObject* container, PyObject* parent,
                               PyObject* key);
    // The write re-paths `node`, which it stored under `parent` at `key` of
    // `container`. Claims nothing when Reentered.
    void settle(PyObject* node, PyObject* container, PyObject* parent, PyObject* key);

    // The placed node is about to be stored: from here on the write counts
    // against another placing it only through the node's own state (a store
    // and the end of a claim cannot be one step, and a write that finds the
    // node stored may move it).
    void storing() noexcept {
        if (node_) mark_storing();
    }
    // The placed node is stored: the write leaves the session.
    void stored() noexcept { leave(); }
    // Whether this write has been alone on the node since it claimed it.
    [[nodiscard]] bool alone() const noexcept;
    // Whether, when this placement claimed the node, writes with other aims
    // had met on it (and it was not yet set right), or one was letting it
    // go from this very slot: the node's own state may then say what no
    // container holds.
    [[nodiscard]] bool unsettled() const noexcept { return unsettled_; }
    // Where the node is stored among the containers the writes of its
    // session store into: 1 with the container and the key, 0 in none, -1
    // when that cannot be told (a bulk placement not stored yet may hold it
    // next, or `said_parent`, the parent its own state names, is none of
    // those containers' and may hold it). Dictionaries and lists are
    // searched without running Python code; objects through their members.
    [[nodiscard]] int stored_where(PyObject* said_parent, py::Ref& container,
                                   py::Ref& key) const;
    // An overtaking write (let_go) stored over the node: true when it must
    // let the node go itself, the write that was letting it go being gone;
    // false when that write is still in and now does it.
    [[nodiscard]] bool stored_over() noexcept;
    // The first write letting the node go, its own store not made (it let
    // the node go first, or the slot changed): leaves, unless an overtaking
    // write stored over the node meanwhile. True when it stays in, to let
    // the node go as that write relies on; one step with the overtaking
    // write's, so no letting go is lost between them.
    [[nodiscard]] bool leave_unless_overtaken() noexcept {
        return node_ && end(false, false, true);
    }
    // Leaves the session (nothing without a claim).
    void leave() noexcept {
        if (node_) (void)end(false, false);
    }
    // Leaves without having let the node go, as the claim was for (or,
    // placing, with the node stamped and stored nowhere).
    void abandon() noexcept {
        if (node_) (void)end(true, false);
    }
    // Leaves a placement made, to be stored by the caller later (a bulk
    // operation stores its members together): until then no container holds
    // the node, and setting it right must not take that for letting go.
    void handed_over() noexcept {
        if (node_) (void)end(false, true);
    }

    // Whether this object holds a claim (false for Busy and Reentered).
    [[nodiscard]] bool held() const noexcept { return node_ != nullptr; }

private:
    bool end(bool owing, bool handing, bool unless_overtook = false) noexcept;
    void mark_storing() noexcept;

    PyObject* node_ = nullptr;  // by identity; the writer keeps it alive
    std::uint64_t id_ = 0;
    bool unsettled_ = false;
};

// Where a write placing `node` means to put it: its parent to be, or null
// (no error) when none places it.
[[nodiscard]] py::Ref claimed_destination(PyObject* node);

// Whether two keys name one slot, without running Python code: the keys of
// the writes (a dictionary's str or int, a list's index, a field's name)
// compare natively; any other pair counts as two slots.
[[nodiscard]] bool same_slot_key(PyObject* a, PyObject* b) noexcept;

// Whether any write is on `node` now. Never fails.
[[nodiscard]] bool in_motion(PyObject* node) noexcept;

}  // namespace vesk::symbolic
