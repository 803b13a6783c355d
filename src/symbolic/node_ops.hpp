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
    // A list position's index as the caller gave it, which a store that
    // finds the position gone names; none when `named` is false. A negative
    // one counts from the end the list has when the slot is read or stored
    // (`at`), so that an insertion or removal elsewhere does not move it,
    // unless the write resolved it already (`follow`).
    std::int64_t index = 0;
    bool named = false;
    // A list position whose write resolved it (`pos`) where it claimed it
    // and the occupant there: a store over an occupant that keeps a tree
    // (which the claim keeps in the list) goes over it wherever an insertion
    // or removal elsewhere has moved it since, told by identity; a plain one
    // is not told apart, and the position is taken as claimed (the write
    // holds the list's positions: nothing moves it, and an item appended
    // since does not make it another's from the end).
    bool follow = false;

    // The list position this slot names in a list of `size` items.
    [[nodiscard]] Py_ssize_t at(Py_ssize_t size) const noexcept {
        return named && index < 0 && !follow ? static_cast<Py_ssize_t>(index + size) : pos;
    }
};

enum class StoreOutcome : std::int8_t { Error = -1, Changed = 0, Done = 1 };

namespace detail {
inline char plain_slot_mark;
}  // namespace detail

// The `expected` of a store that replaces whatever the slot holds so long
// as that needs no letting go: nothing, or a primitive value other than the
// one stored (never dereferenced).
inline PyObject* const kPlainSlot = reinterpret_cast<PyObject*>(&detail::plain_slot_mark);

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
    // What the slot holds now (null when it holds nothing).
    NodeOp<int (*)(PyObject* storage, SlotKey slot, py::Ref& out)> read_slot;
    // The conditional store: writes `value` (null removes the member; a list
    // position shifts the items after it) when the slot holds `expected`
    // (null: nothing; kPlainSlot: see there). Done, with what it replaced in
    // `now`; Changed, with what it holds in `now`.
    NodeOp<StoreOutcome (*)(PyObject* storage, SlotKey slot, PyObject* expected, PyObject* value,
                            py::Ref& now)>
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

// Re-paths the members of `node` that keep a tree (topology-aware, their
// lenient topology flag true) under `new_path`, in the order `each_child`
// visits them: each gets `topo_setpath(keypath_cls(key, new_path))`, or the
// native child key path for a null `keypath_cls`. A walk of the node's tree
// (claim.hpp: the node is claimed by the caller, so the members' calls
// claim nothing more). 0, or -1 with the first failure, once every other
// member has had its call; a walk that meets a node twice stops there and
// gives back what it changed (repath_walk.hpp).
[[nodiscard]] int repath_members(const NodeOps& ops, PyObject* node, PyObject* new_path,
                                 PyObject* keypath_cls);

}  // namespace vesk::symbolic
