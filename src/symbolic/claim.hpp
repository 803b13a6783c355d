// Claims: which thread is writing which nodes, so that writes that meet on
// one node refuse each other at once instead of interleaving.
//
// A node's place in a tree is told twice: by the slot that stores it and by
// its own state (parent and path), which writes change through calls by
// name that run Python code (`topo_setpath`, `topo_setparent`, the
// package's hooks) between their reads and their store. Two writes on one
// node could interleave those calls in orders no sequential run gives. So
// every write claims, before its first effect, each node its work relies
// on, keeps the claims to its very end (its hooks and its notification
// included), and a write of another thread that meets one of them fails at
// once with the borrow refusal ("Already mutably borrowed"), having changed
// nothing. Nothing ever waits for another thread's Python code. Writes on
// nodes apart never meet, whatever they share above them.
//
// What a write claims:
// - exclusively, a node whose own place it changes or decides on: the child
//   it places (clones or shares), the child it lets go (replaced or
//   removed); and a node whose own topology method (`topo_setpath`,
//   `topo_setparent`, `_update_children_paths`) is called from outside any
//   walk of its tree (ClaimedCall), since that re-paths what it holds;
// - shared, the node whose storage it writes and every ancestor of it up
//   its parent chain (`tree`): their places must stay as the write reads
//   them while it stamps paths under them, and a write placing or re-pathing
//   any of them claims it exclusively. The node it writes into it claims
//   directly: a sort of a list (`sort`), which takes every item out of the
//   list while its key runs, meets every write into the list (never one
//   below it), so that each refuses the other before its first effect;
// - a slot (`slot`): the key, field or list position it stores in, so that
//   two writes of one slot never both stamp a child for it. A write whose
//   value and occupant are both plain (the built-in value classes, which
//   keep no tree) claims nothing: one critical section of the storage
//   decides it.
// - a list's order, for a list write that goes by position: one whose store
//   over an occupant it cannot follow by identity (a plain one) goes where
//   its position is then (`positions`: the slice's replacements, an index
//   write over a plain occupant), or one that moves the items after a
//   position (`moving`: an insertion before the end, a removal, `clear`,
//   `reverse`, a slice's insertions). Each kind shares with its own; they
//   refuse each other, so no write finds a position it read and claimed
//   holding another item by its store, having run its hooks meanwhile. A
//   write that may take a store back after Python code ran, where it cannot
//   find that store by identity, goes by position too: a batch of several
//   stores (a slice, `extend`), and an index write of a value that keeps no
//   tree over an occupant it lets go after its store. While any write
//   holds a list's positions, a plain store over a plain occupant (which
//   claims nothing otherwise) claims its slot, so that it never replaces a
//   store that may yet be taken back.
// - a list's items, for a write that goes over an item it claimed wherever
//   insertions and removals elsewhere move it (`following`: an index write
//   over an occupant that keeps a tree), against one that takes every item
//   out at once without claiming them (`clearing`: `clear`), so that no
//   write finds the item it claimed gone by its store.
// Conflicts: exclusive against any claim of another thread, shared against
// another thread's exclusive one, direct against exclusive and sort, sort
// against exclusive, direct and sort, a slot against the same slot, a
// list's positions against exclusive and its moving, following against
// exclusive and clearing, and the reverse of each. A
// slot is its key's hash, by which the dict finds the key: keys the dict
// holds equal (an exact str and an equal str subclass or enum member, `True`
// and `1`) always meet; two unequal keys of one hash also meet, which is
// rare and only costs a refusal. A thread re-enters whatever it holds, in any
// mode (its own hooks writing again), and a walk over a claimed node's
// members (re-pathing them, passing its parent on: WalkScope) claims none
// of those members: every write that could touch a member holds a claim on
// the walked node first. Any other node a call of the walk reaches (a
// member's hook re-pathing a node elsewhere) is claimed as a call from
// outside any walk claims it.
//
// So writes on one node are sequential by construction: each runs alone on
// what it claimed, and a write that comes second either waits its turn in
// the caller's own code or fails, having changed nothing. The claims also
// hold a node's parent chain still for the cycle guard (`on_chain`).
//
// A claim is not the node's hold: another thread may still read a claimed
// node's state (validating it as a value it is about to write, say) or set
// one of its flags, each for a moment with no Python code inside. The
// topology calls a write makes on what it claims wait such a hold out
// (momentary.hpp) rather than fail the write for it.
//
// Claims live in a process-wide table keyed by identity, so any value can be
// claimed (records and pure-Python nodes included), split into shards so
// that writes on different nodes rarely meet on one lock. A scope keeps a
// reference to each node it claims until it releases it. No lock is held
// while Python code runs: the ancestor walk reads a pure-Python node's
// `_topo_parent` between its claims.
#pragma once

#include "py/ref.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vesk::symbolic {

// The claims of one operation, released as it ends, most recent first. A
// scope on the stack is its thread's innermost while it lives: adoption
// claims the child it places there (current()).
struct ScopeStorage;

class ClaimScope {
public:
    inline ClaimScope() noexcept;
    inline ~ClaimScope();
    ClaimScope(const ClaimScope&) = delete;
    ClaimScope& operator=(const ClaimScope&) = delete;

    // The calling thread's innermost scope, or null.
    [[nodiscard]] static ClaimScope* current() noexcept;

    // Claims `node` exclusively. 0, or -1 with the refusal set.
    [[nodiscard]] int exclusive(PyObject* node);
    // Claims `node` shared, then each ancestor up its parent chain; a node
    // this scope, or one it runs inside, claimed so already is not walked
    // again. 0 or -1.
    [[nodiscard]] int tree(PyObject* node);
    // Claims the slot `key` of `node` (a list's position as an int): its
    // hash is taken first, which may run the key's own `__hash__`. 0 or -1.
    [[nodiscard]] int slot(PyObject* node, PyObject* key);
    // Claims the list `list` for a sort (above), besides its tree. 0 or -1.
    [[nodiscard]] int sort(PyObject* list);
    // Claims the order of the list `list` (above) for a write that goes by
    // position, or for one that moves its items. 0 or -1. A claim of its
    // positions is counted in `held` (the list's) while it lasts, so that a
    // store that claims nothing can tell that another write may yet take a
    // store of its own back there.
    [[nodiscard]] int positions(PyObject* list, std::atomic<std::uint32_t>& held);
    [[nodiscard]] int moving(PyObject* list);
    // Claims the items of the list `list` for a write that follows one of
    // them, or for one that clears them all (above). 0 or -1.
    [[nodiscard]] int following(PyObject* list);
    [[nodiscard]] int clearing(PyObject* list);

    // `node`, claimed exclusively, is given a parent by this thread now (a
    // raw container wrapped for a write adopting the very node written
    // into): a chain through it, in this scope or one it runs inside, no
    // longer tells where it is, and `tree` walks it again.
    void reparenting(PyObject* node) noexcept;

    // Whether `node` is `container` or one of its ancestors, as `tree`
    // claimed them (in this scope or one it runs inside).
    [[nodiscard]] bool on_chain(PyObject* container, PyObject* node) const noexcept;
    // Whether that chain came back to a node it had passed (parents set by
    // Python code directly) instead of ending.
    [[nodiscard]] bool chain_loops(PyObject* container) const noexcept;
    // The first answer `pick` gives that is not null, asked of each node of
    // that chain from `container` up; null when none gives one.
    [[nodiscard]] PyObject* first_on_chain(PyObject* container,
                                           PyObject* (*pick)(PyObject* node)) const noexcept;

    // How a claim is held (above): a node `tree` claims is held shared, or
    // directly when the chain starts at it.
    enum class Mode : unsigned char {
        Shared, Direct, Exclusive, Sort, Positions, Moving, Following, Clearing
    };
    struct Taken {
        PyObject* node;
        Py_hash_t hash;  // a slot's key's
        bool slot;       // false: the node itself
        Mode mode;
        std::atomic<std::uint32_t>* counted = nullptr;  // `positions`' count
    };
    // `tree`'s walks: the nodes of one chain, from `begin` to `end` in the
    // scope's chain storage.
    struct Chain {
        std::size_t begin, end;
        bool loops;
        // A node of it was given a parent since (`reparenting`).
        bool stale = false;
    };

private:
    // Releases every claim, most recent first.
    void release() noexcept;

    // The scope (this one or one it runs inside) that claimed `container`'s
    // chain, with the chain in `out`; null when none did.
    [[nodiscard]] const ClaimScope* chain_of(PyObject* container,
                                             const Chain*& out) const noexcept;

    [[nodiscard]] int take(PyObject* node, bool slot, Py_hash_t hash, Mode mode);
    // Whether this scope, or one it runs inside, holds `node` exclusively.
    [[nodiscard]] bool held_exclusively(PyObject* node) const noexcept;
    friend class ClaimedCall;
    [[nodiscard]] ScopeStorage& storage();

    ClaimScope* outer_;
    std::size_t depth_;  // how many scopes of its thread it is nested in
    // What the scope took, the references that keep what its claims name
    // alive, and its chains: its thread's storage for its level of nesting
    // (claim.cpp), which keeps its capacity from one scope to the next;
    // taken at the first claim, so a write that claims nothing pays nothing.
    ScopeStorage* s_ = nullptr;
};

// The thread's scopes: the innermost, and how many are open. Opening and
// closing a scope is inline: every write does it, most claim nothing, so
// they are reached without a call, as the module's other hot thread-locals.
class WalkScope;
namespace detail {
[[gnu::tls_model("initial-exec")]] extern constinit thread_local ClaimScope* t_scope;
[[gnu::tls_model("initial-exec")]] extern constinit thread_local std::size_t t_depth;
// The thread's innermost walk (WalkScope), or null.
[[gnu::tls_model("initial-exec")]] extern constinit thread_local WalkScope* t_walk;
}  // namespace detail

// The scope is the thread's innermost only while it lives: its destructor
// puts the outer one back, which the compiler's check of a local's address
// kept in a thread-local cannot see where the scope is made in place (an
// optional one).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif
inline ClaimScope::ClaimScope() noexcept : outer_(detail::t_scope), depth_(detail::t_depth++) {
    detail::t_scope = this;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

inline ClaimScope::~ClaimScope() {
    if (s_) release();
    detail::t_scope = outer_;
    --detail::t_depth;
}

inline ClaimScope* ClaimScope::current() noexcept { return detail::t_scope; }

// The claim of a call of a node's own topology method: exclusive for the
// call (re-entering the claim of a write that stamps or lets go the node),
// unless the node is a member of a claimed node the calling thread walks
// now (WalkScope).
class ClaimedCall {
public:
    // 0, or -1 with the refusal: the call must not run.
    [[nodiscard]] int enter(PyObject* node);

private:
    ClaimScope scope_;
};

// A walk over the members of `walked`, a node this thread claims
// (re-pathing them, passing a parent on): the calls it makes on those
// members claim nothing more. A walk that calls each member itself names
// it (`visiting`) for its call; one that leaves the calls to Python code
// (the node's own `_update_children_paths`) names none, and its members
// are the nodes whose native parent is `walked`.
class WalkScope {
public:
    explicit WalkScope(PyObject* walked) noexcept : walked_(walked), outer_(detail::t_walk) {
        detail::t_walk = this;
    }
    ~WalkScope() { detail::t_walk = outer_; }
    WalkScope(const WalkScope&) = delete;
    WalkScope& operator=(const WalkScope&) = delete;

    // The walk calls `member` now; by_parent: it names none.
    void visiting(PyObject* member) noexcept { member_ = member; }
    void by_parent() noexcept { by_parent_ = true; }

private:
    friend class ClaimedCall;
    PyObject* walked_;
    PyObject* member_ = nullptr;
    bool by_parent_ = false;
    WalkScope* outer_;
};

}  // namespace vesk::symbolic
