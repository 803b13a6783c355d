// NodeOps: what each kind of native symbolic node answers for itself, in one
// table per kind: SymDict, SymList, SymObject (its fields in a field
// dictionary) and records (their fields in inline cells).
//
// Complete by construction: no entry has a default, so a table that leaves
// one out does not compile ("use of deleted function"), and an entry given
// null does not either. `node_ops(value)` finds the table of a value (null
// for anything that is not a native node), and each kind's own code names
// its table directly.
//
// The entries:
// - roles: the node-state roles (kernel/record/roles.hpp) read and written
//   as they are, with no hooks; a role a kind does not keep reads as empty
//   and ignores writes;
// - seal, set parent, set path: the node's own `sym_seal`, `topo_setparent`
//   and `topo_setpath` (the package's hooks included), which the Python
//   methods and the node-state functions run;
// - each child: the node's members with their keys, in its symbolic order,
//   each read when its turn comes (what re-pathing visits);
// - the slots: where the node keeps its members (the dict or list itself,
//   an object's field dictionary, a record's cells), read one slot at a time
//   and written by the conditional store, which writes a slot only while it
//   still holds what the writer read; each runs in one critical section of
//   the storage with no Python code inside it, so what a store replaced is
//   decided there.
//
// Error convention: -1, or StoreOutcome::Error, with an exception set.
#pragma once

#include "kernel/record/roles.hpp"
#include "py/ref.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/momentary.hpp"
#include "topology/key_path.hpp"

#include <cstdint>

namespace vesk::symbolic {

using kernel::record::Role;

// A table entry: always given, never null.
template <class Fn>
class NodeOp {
public:
    NodeOp() = delete;  // every kind gives every entry
    consteval NodeOp(Fn fn) : fn_(fn) {
        if (!fn) throw "a NodeOps entry is a function";
    }

    template <class... A>
    decltype(auto) operator()(A&&... a) const {
        return fn_(static_cast<A&&>(a)...);
    }

private:
    Fn fn_;
};

// Visits one member: 0 to go on, -1 with an exception to stop.
struct ChildVisitor {
    int (*fn)(void* ctx, PyObject* key, PyObject* child);
    void* ctx;
    int operator()(PyObject* key, PyObject* child) const { return fn(ctx, key, child); }
};

// Makes a ChildVisitor of a callable `f(key, child) -> int` that outlives it.
template <class F>
[[nodiscard]] ChildVisitor visitor(F& f) noexcept {
    return {[](void* ctx, PyObject* key, PyObject* child) {
                return (*static_cast<F*>(ctx))(key, child);
            },
            &f};
}

// One slot of a node's storage: a key (dict, field dictionary, record
// cells) or a position (list).
struct SlotKey {
    PyObject* key = nullptr;
    Py_ssize_t pos = 0;
    // A list position's index as the caller gave it (negative from the
    // end), which a store that finds the position gone names; none when
    // `named` is false.
    std::int64_t index = 0;
    bool named = false;
};

enum class StoreOutcome : std::int8_t { Error = -1, Changed = 0, Done = 1 };

namespace detail {
inline char plain_slot_mark;
}  // namespace detail

// The `expected` of a store that replaces whatever the slot holds so long
// as that needs no letting go: nothing, or a primitive value other than the
// one stored (never dereferenced).
inline PyObject* const kPlainSlot = reinterpret_cast<PyObject*>(&detail::plain_slot_mark);

// What a store settles, in its own critical section, with the claims on the
// values it stores and replaces (write_core.hpp): called once the slot is
// found holding what the store expects, just before it writes; false
// refuses the store, which then counts as the slot having changed. Runs no
// Python code.
struct StoreGuard {
    bool (*fn)(void* ctx) noexcept;
    void* ctx;
    [[nodiscard]] bool allows() const noexcept { return fn(ctx); }
};

// Whether the slot's occupant `now` is what a store of `value` expects.
[[nodiscard]] inline bool store_expects(PyObject* now, PyObject* expected,
                                        PyObject* value) noexcept {
    if (expected != kPlainSlot) return now == expected;
    return now != value && (!now || is_primitive(now));
}

struct NodeOps {
    const char* kind;

    // --- node state ---
    NodeOp<int (*)(PyObject* node, Role role, py::Ref& out)> get_role;
    NodeOp<int (*)(PyObject* node, Role role, PyObject* value)> set_role;
    NodeOp<int (*)(PyObject* node, bool is_seal)> seal;
    // `parent`, `path`: null for none.
    NodeOp<int (*)(PyObject* node, PyObject* parent)> set_parent;
    NodeOp<int (*)(PyObject* node, PyObject* path)> set_path;
    NodeOp<int (*)(PyObject* node, ChildVisitor visit)> each_child;

    // --- slots (of the node's storage: the dict or list itself, an object's
    // field dictionary, a record's instance) ---
    // The storage itself (null for an object not constructed yet).
    NodeOp<int (*)(PyObject* node, py::Ref& out)> storage;
    // What the slot holds now (null when it holds nothing).
    NodeOp<int (*)(PyObject* storage, SlotKey slot, py::Ref& out)> read_slot;
    // The conditional store: writes `value` (null removes the member; a list
    // position shifts the items after it) when the slot holds `expected`
    // (null: nothing; kPlainSlot: see there) and `guard` (null: none) allows
    // it. Done, with what it replaced in `now`; Changed, with what it holds
    // in `now`.
    NodeOp<StoreOutcome (*)(PyObject* storage, SlotKey slot, PyObject* expected, PyObject* value,
                            py::Ref& now, const StoreGuard* guard)>
        store_if;
};

// The tables, defined beside each kind's own code.
extern const NodeOps kDictNode;
extern const NodeOps kListNode;
extern const NodeOps kObjectNode;
extern const NodeOps kRecordNode;

// The table of `value`, or null when it is not a native node. Never fails;
// runs no Python code.
[[nodiscard]] const NodeOps* node_ops(PyObject* value) noexcept;

// Whether the member of `node` under `key` (a list's index as an int) is
// `value`, by identity. 1, 0 or -1.
[[nodiscard]] int member_is(const NodeOps& ops, PyObject* node, PyObject* key, PyObject* value);

// Re-paths the members of `node` that keep a tree (topology-aware, their
// lenient topology flag true) under `new_path`, in the order `each_child`
// visits them: each gets `topo_setpath(keypath_cls(key, new_path))`, or the
// native child key path for a null `keypath_cls`. 0, or -1 at the first
// failure.
[[nodiscard]] int repath_members(const NodeOps& ops, PyObject* node, PyObject* new_path,
                                 PyObject* keypath_cls);

// Re-paths the members of `node` after its own path was set to `path`, with
// `walk(path)` (0 or -1). Another thread may set the node's path again while
// the members are re-pathed, and the walk that ends last may be the one that
// used the older path: so the node's path is read again after each walk, and
// the members are walked again under it for as long as it does not name the
// place the walk used (for a bounded number of rounds: a hook that moves the
// node whenever its members are re-pathed would keep it going). One walk
// where nothing else sets the path.
inline constexpr int kSettleRounds = 64;

template <class Walk>
[[nodiscard]] int repath_until_settled(const NodeOps& ops, PyObject* node, PyObject* path,
                                       Walk&& walk) {
    py::Ref used = py::Ref::borrow(path);
    for (int round = 0; round < kSettleRounds; ++round) {
        if (walk(used.get()) < 0) return -1;
        py::Ref now;
        if (past_momentary_holds(
                [&] { return ops.get_role(node, kernel::record::kRolePath, now); }) < 0)
            return -1;
        if (!now || now.get() == Py_None || now.get() == used.get()) return 0;
        const int same = topology::same_key_path(now.get(), used.get());
        if (same != 0) return same < 0 ? -1 : 0;
        used = std::move(now);
    }
    return 0;
}

}  // namespace vesk::symbolic
