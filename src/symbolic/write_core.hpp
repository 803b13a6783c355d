// The keyed write every symbolic node kind shares: the last steps of a write
// of one slot (a SymDict key, a SymList position, an object's field, a
// record's cell), after the kind has run its own checks and formalized the
// new value, with the adoption it made (adoption.hpp).
//
// The store is conditional. Another thread may write the slot between the
// read this write decided on and its store, since formalization, adoption
// and letting go run Python code in between. So the store writes the slot
// only while it still holds the value this write read (and let go), under
// the storage's lock (node_ops.hpp, `store_if`); otherwise the write decides
// again from what is there: it lets that go and stores again. What is let
// go and reported as replaced is thus exactly what the store replaced.
//
// Both values are under claims (claim.hpp). The new child's placement takes
// effect before anything of the old one is let go, so a write that finds
// the new child held elsewhere by then refuses, clones or shares it without
// having touched the slot. The old value is let go under its own claim: the
// store over it is its let-go taking effect, and its let-go calls are made
// once, by this write when it opened the value's session, else by the write
// that did or by the last one out. A write that fails before its store
// leaves the tree as it was: the new child's placement is withdrawn, and
// both values' sessions set them right.
//
// Errors follow the interpreter's convention: -1 with an exception set.
#pragma once

#include "py/ref.hpp"
#include "symbolic/adoption.hpp"
#include "symbolic/claim.hpp"
#include "symbolic/node_ops.hpp"

namespace vesk::symbolic {

// One slot of one node, and what its members get as parent.
struct WriteSlot {
    const NodeOps* ops = nullptr;
    PyObject* node = nullptr;     // whose path names the slot
    PyObject* storage = nullptr;  // where the slot lives (ops->storage)
    SlotKey slot;
    PyObject* key = nullptr;      // the key as the members' paths name it
    PyObject* parent = nullptr;   // what a member of this slot gets as parent
    // A list position the write may find gone (the list shrank meanwhile):
    // the write then adds its value at the end instead (`replace_slot` 2).
    bool append_if_gone = false;
};

// Lets go of a value a write replaced or removed that keeps a tree
// (topology-aware, its lenient topology flag true): `topo_setparent(None)`,
// then, unless `parent_only`, `topo_setpath(keypath_cls())`; each call past
// another thread's momentary hold of the value (momentary.hpp).
[[nodiscard]] int detach_value(PyObject* value, bool parent_only);

// The two tests, then `detach_value`: nothing for a value that keeps no
// tree. (The writes test under the value's claim, `replace_slot`.)
[[nodiscard]] int detach_old_child(PyObject* value);

// What a write knows of its slot before the store, so the store need not
// read it again: nothing, what it read (which may have changed since: the
// store checks), or that it stores over any plain occupant (kPlainSlot),
// its identity test going with the store.
struct SlotRead {
    enum class Kind : unsigned char { Unread, Read, Plain };
    Kind kind = Kind::Unread;
    PyObject* value = nullptr;  // Read: what the slot held (null: nothing), borrowed

    [[nodiscard]] static SlotRead plain() noexcept { return {Kind::Plain, nullptr}; }
};

// What the slot holds now, or `absent` (the bridge's missing value) when it
// holds nothing: the old value a write tests the identity of its value
// against; `seen` records the read for the store. 0 or -1.
[[nodiscard]] int old_value(const WriteSlot& w, PyObject* absent, py::Ref& out, SlotRead& seen);

// When the old value is let go, relative to the store: before it (dict and
// object writes) or after it (list writes, by the list's own code, with the
// claim `replace` hands back).
enum class Order : unsigned char { DetachFirst, StoreFirst };

// Stores `adopted.value` in the slot in place of what it holds (`seen` is
// what the write read of it, if anything). 1 stored, with what it replaced
// in `replaced` (null when the slot held nothing); 0 when the slot already
// holds the value or the child sits in it already (nothing stored, nothing
// reported); 2 when the slot is a list position gone meanwhile and the write
// may append instead (`append_if_gone`; nothing stored, the adoption kept);
// -1 with nothing stored and the adoption undone. With
// `Order::StoreFirst` the replaced value is not let go: `old_claim` keeps
// it claimed, and `calls` tells whether the caller makes its let-go calls.
[[nodiscard]] int replace_slot(const WriteSlot& w, Adoption& adopted, Order order,
                               const SlotRead& seen, py::Ref& replaced, Claim& old_claim,
                               bool& calls);

// Removes what the slot holds, let go first. 1 removed (in `removed`), 0
// when the slot holds nothing, -1 with the slot unchanged.
[[nodiscard]] int remove_slot(const WriteSlot& w, py::Ref& removed);

// After a store that replaced `replaced`, claimed in `old_claim` by
// `replace_slot` with `Order::StoreFirst`: its let-go calls (the parent
// alone) when `calls`; the claim left. 0, or -1 (the store stands).
[[nodiscard]] int let_go_after_store(PyObject* replaced, Claim& old_claim, bool calls);

// The node's path right after the store (null for none; left unread when
// the write stamped nothing, which needs no settling): a value this write
// stamped is re-pathed by its `topo_setpath` when the path its owner had at
// the stamping is not that one any more, or when it landed under a key other
// than `stamped_key` (a list's position; null: the slot's key), for as long
// as the owner moves meanwhile. The update of the write names the path
// answered: where the write took effect, a move after it being another
// write's.
[[nodiscard]] int settle_path(const WriteSlot& w, const Adoption& adopted, PyObject* stamped_key,
                              py::Ref& path_now);

}  // namespace vesk::symbolic
