// Claims: the writes that are placing, letting go or re-pathing one symbolic
// node right now, and what they have made of it so far.
//
// A node's place in a tree is told twice: by the slots that store it and by
// its own state (parent and path), which writes change through calls by
// name that run Python code (`topo_setpath`, `topo_setparent`). Those calls
// may take any time and land in any order, so no write waits for another:
// the writes on one node form a session, and the session keeps the node's
// `home`, where the node is as the writes that took effect so far leave it,
// in the order they took effect. Each write decides from the home and takes
// effect at one moment; the node's own state is set right to the home by the
// last write out wherever writes met. So two writes on one node always end
// as one of their sequential orders would: the order in which they took
// effect.
//
// The protocol, one session per node (all steps under the node's shard lock):
// - Enter. A write enters before it reads anything of the node it relies on.
//   A write meeting others there (or entering while the last one out sets
//   the node right) marks the session dirty.
// - Home. Unset until the first write that relies on it publishes it: a
//   placement, from the node's own state as it read it; a write letting the
//   node go or re-pathing it, "stored in my slot". A reading is published
//   only if no write of the node has run a call since it was taken (the
//   shard's epoch, which moves whenever a session ends, is read before it):
//   otherwise it is taken again. From then on a write reads the home, never
//   the node's state, which other writes' calls may be changing.
// - Place (slot T): free at home: stamp it (path, then parent) and store;
//   at home in T: stamp it again and store nothing; anywhere else: held
//   elsewhere, and adoption decides by its policy (refuse, clone, share). A
//   placement takes effect when it commits (under the storage's lock, or for
//   a container no other thread sees yet): home free: the home becomes T;
//   home T itself (another placement to the same key committed first): it
//   is in place, and this one stores nothing; anywhere else: lost, and it
//   takes the held-elsewhere road then. A placement that fails after it
//   committed retracts the commit.
// - Let go (slot S, the slot still holding the node): the store over the
//   node takes effect; the home becomes free. The let-go calls
//   (`topo_setparent(None)`, then for a dictionary or object slot
//   `topo_setpath(empty)`) are made once per commit: by the write that
//   opened the session, when it lets the node go (the runner: its calls
//   stand for the first let-go committed while it is in, whoever commits
//   it); for every other commit, by the last write out (owed).
// - Yield: a placement that finds the node at home in T while the runner
//   lets it go from T does not stamp it again (its calls could land after
//   the runner's); should the runner's store land first, the placement
//   stamps the node at its commit.
// - Settle (slot S): a write re-pathing a node stored in S goes on only
//   while the home is S.
// - Leave. A write that fails after it ran calls on the node marks the
//   session dirty. The last write out of a dirty session makes the owed
//   let-go calls and then sets the node's state right to the home, calling
//   only what differs (path first, then parent; parent first when it lets
//   go); writes that come meanwhile meet it, and the last of them does it
//   again (once one met it, it calls nothing from the home it read: that
//   write may be stamping the node). Then the session ends.
// So a session holds: the writes in, the home, one dirty flag, the runner
// with its one credit, and the owed count.
//
// Claims are kept in one process-wide table keyed by identity, so any value
// can be claimed (a record has no free cell of its own), split into shards
// so that writes on different nodes rarely meet on one lock. A placement's
// destination is what the cycle walks of other writes follow. A thread that
// already has a claim on a node (a call of its own re-entering a write)
// claims nothing and decides from the node's own state, as if no session
// existed.
//
// No lock is held while Python code runs, and no reference is dropped under
// the shard lock. Leaving may run Python code (the setting right above); it
// keeps the pending exception, if any.
#pragma once

#include "py/ref.hpp"
#include "symbolic/home.hpp"

#include <cstdint>
#include <utility>

namespace vesk::symbolic {

// The epoch of `node`'s shard: read before a reading of the node's state
// that a write may publish as its home.
[[nodiscard]] std::uint64_t claim_epoch(PyObject* node) noexcept;

class Claim {
public:
    // A placement's commit.
    enum class Commit : unsigned char {
        Done,     // the home is the slot now: store
        InPlace,  // the same, as it decided: the node sat in the slot already
        Lost,     // held elsewhere now: take that road
    };

    Claim() noexcept = default;
    Claim(Claim&& other) noexcept
        : node_(std::exchange(other.node_, nullptr)),
          id_(std::exchange(other.id_, 0)),
          seen_(std::exchange(other.seen_, 0)),
          in_place_(other.in_place_),
          committed_(std::exchange(other.committed_, false)),
          reads_home_(other.reads_home_),
          reentered_(std::exchange(other.reentered_, nullptr)),
          prior_(std::move(other.prior_)) {}
    Claim& operator=(Claim&& other) noexcept {
        if (this != &other) {
            leave();
            node_ = std::exchange(other.node_, nullptr);
            id_ = std::exchange(other.id_, 0);
            seen_ = std::exchange(other.seen_, 0);
            in_place_ = other.in_place_;
            committed_ = std::exchange(other.committed_, false);
            reads_home_ = other.reads_home_;
            reentered_ = std::exchange(other.reentered_, nullptr);
            prior_ = std::move(other.prior_);
        }
        return *this;
    }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;
    ~Claim() { leave(); }

    // --- placing ---
    // Enters `node`'s session to place it in `slot`. `reading` is the
    // node's own state (parent and path, the parent null for none), read
    // after `epoch` was taken. 1: entered, `home` what the session says of
    // the node; 0: the reading was stale, take it again (the write is in
    // now) and call `publish`; -1 never. A thread already in the session
    // claims nothing and gets its own reading back.
    [[nodiscard]] int place(PyObject* node, const ClaimSlot& slot, std::uint64_t epoch,
                            Home reading, Home& home);
    // The home after a reading taken while in the session.
    void publish(Home reading, Home& home);
    // What the placement made of the home it was given: the node is in its
    // slot already (else free there). A commit that finds the home as it
    // was given keeps this; otherwise it decides again from the home.
    void decided(bool in_place) noexcept { in_place_ = in_place; }
    // Whether the runner is letting the node go from this very slot now.
    [[nodiscard]] bool yields() const noexcept;
    // The placement takes effect (above). Without a claim: Done. `landed`:
    // the caller stores the node in the same critical section (a list's
    // addition) under this key, its home's, and from here on the write only
    // settles it.
    [[nodiscard]] Commit commit(PyObject* landed = nullptr) noexcept;
    // A commit whose store did not happen is withdrawn: the home is back as
    // it was.
    void retract() noexcept;
    // Whether the commit still stands (no write took effect on the node
    // since): a write whose store is delayed by others changing its slot
    // commits again when not, as others may have let the node go or placed
    // it meanwhile.
    [[nodiscard]] bool still_committed() noexcept;
    // The same test alone, for a store's guard (node_ops.hpp): changes
    // nothing and drops nothing.
    [[nodiscard]] bool commit_stands() const noexcept;
    // Whether the home is still the slot this placement committed (a later
    // write has not moved or let the node go).
    [[nodiscard]] bool home_is_mine() const noexcept;

    // --- letting go ---
    // What a write letting a node go does with the let-go calls.
    enum class LetGo : unsigned char {
        Runs,    // makes them (no other write does, or it is a call of its own)
        Check,   // opened the session from a stale reading: makes them when
                 // the slot still holds the node (then `confirm`), or when
                 // another write's store over it took them (`spent`)
        Leaves,  // leaves them to the write that makes them, or to the last out
    };
    // Enters to let `node` go from `slot`, where the caller read it after
    // `epoch` was taken.
    [[nodiscard]] LetGo let_go(PyObject* node, const ClaimSlot& slot, std::uint64_t epoch);
    // Check: the slot still holds the node; its home is the slot.
    void confirm();
    // Whether a store over the node committed while this write (the one
    // making the let-go calls) was in: the calls are this write's to make.
    [[nodiscard]] bool spent() const noexcept;
    // The store over the node landed: the home is free (`full`: with the
    // empty path; else the path it has).
    void let_go_committed(bool full) noexcept {
        Home dropped;
        let_go_committed(full, dropped);
    }
    // The same inside a store's critical section: the home it replaced goes
    // to `dropped`, for the caller to drop once the section is let go.
    void let_go_committed(bool full, Home& dropped) noexcept;
    // The same, and the write leaves.
    void let_go_done(bool full) noexcept {
        if (node_)
            end(false, full ? 1 : 0);
        else
            let_go_committed(full);
    }
    // The let-go calls this write made failed; the let-go they stood for,
    // if one was committed, is owed again.
    void calls_failed() noexcept;

    // --- settling ---
    // Enters to re-path `node`, read in `slot`: false, claiming nothing,
    // when its home is elsewhere (a write moved it). The caller then checks
    // that the slot still holds it.
    [[nodiscard]] bool settle(PyObject* node, const ClaimSlot& slot);
    // The slot holds the node, whose parent is `parent` (null: none): its
    // home is the slot, unless writes already gave it another.
    void settled_here(PyObject* parent);

    // --- leaving ---
    // Leaves the session.
    void leave() noexcept {
        reentered_ = nullptr;
        if (node_) end(false, -1);
    }
    // Leaves a placement that will not take effect but whose calls stand
    // (a construction that failed after stamping its children): unless
    // another write took effect since it decided, the home is `stamped`.
    void leave_as(Home stamped) noexcept;
    // Leaves having left calls of its own unfinished or undone (a failed
    // write): the last write out sets the node right.
    void leave_failed() noexcept {
        reentered_ = nullptr;
        if (node_) end(true, -1);
    }

    [[nodiscard]] bool held() const noexcept { return node_ != nullptr; }
    // The write's place in the order of entering, for its claim (0: none).
    [[nodiscard]] std::uint64_t order() const noexcept { return id_; }

private:
    // `let_go`: 0 or 1 to commit a let-go (`full`) on the way out, -1 not.
    void end(bool failed, int let_go) noexcept;

    PyObject* node_ = nullptr;  // by identity; the writer keeps it alive
    std::uint64_t id_ = 0;
    std::uint64_t seen_ = 0;  // the home's version the placement decided from
    bool in_place_ = false;
    bool committed_ = false;
    bool reads_home_ = false;  // the placement's reading of the node is its home
    // A node this thread's own write is on already, let go by this one: its
    // let-go takes effect on the home all the same.
    PyObject* reentered_ = nullptr;
    Home prior_;  // what a commit replaced, for a retraction
};

// Where a write placing `node` that entered before `claim` (any, for an
// empty claim) means to put it: its parent to be, or null (no error) when
// none places it.
[[nodiscard]] py::Ref claimed_destination(PyObject* node, const Claim& claim);

// A node's own state was written outside any session of the calling thread
// (a caller's own `topo_setparent` or `topo_setpath`, not a write's): it
// takes effect on the node's home at once, as a write would (`parent`: its
// parent became `value`, else its path did; None or null: none). Never
// fails; runs no Python code.
void note_state_write(PyObject* node, bool parent, PyObject* value) noexcept;

// Whether a tree holds `node` as the writes on it leave it: 1 held (at home
// in a slot, or a write lets it go from one), 0 free, -1 when no write is on
// it (its own state tells). Never fails.
[[nodiscard]] int held_in_session(PyObject* node) noexcept;

// Whether two keys name one slot, without running Python code: the keys of
// the writes (a dictionary's str or int, a list's index, a field's name)
// compare natively; any other pair counts as two slots.
[[nodiscard]] bool same_slot_key(PyObject* a, PyObject* b) noexcept;

}  // namespace vesk::symbolic
