// The keyed write every symbolic node kind shares: the last steps of a write
// of one slot (a SymDict key, a SymList position, an object's field, a
// record's cell), after the kind has run its own checks, with the adoption
// of the new value (adoption.hpp).
//
// The protocol, for a write whose value or occupant keeps a tree (a write of
// a plain value over a plain occupant needs none of it: one conditional
// store in one critical section of the storage decides it):
// 1. Claim (claim.hpp), in the write's claim scope and before any effect:
//    the node's tree shared and the slot (`claim_slot`), then the occupant
//    read under them (`read_claimed`), exclusively; the new child is claimed
//    by its adoption. A claim another thread holds refuses the write at once,
//    having changed nothing.
// 2. Adopt the new value (its stamping is the write's first effect).
// 3. Store (`replace_slot`, `remove_slot`): let go of the occupant, before
//    the store for a dictionary or object slot (Order::DetachFirst), after it
//    for a list position (Order::StoreFirst, `let_go_after_store`), and store
//    only while the slot still holds that occupant. Under the claims nothing
//    but a plain write of another thread (over a plain occupant) or a hook of
//    this very write can change the slot meanwhile; the store then decides
//    again from what is there.
// 4. A write that fails before its store leaves every child as it was: the
//    new child gets back the parent and path it had, and an occupant it let
//    go is attached again, each by its own calls, with the failure kept
//    aside meanwhile. A child whose hook refuses that (a second failure)
//    keeps the place its hook left it, and the slot follows it: an occupant
//    that will not come back leaves the slot to the new value, whose store
//    then stands (kStoodFailing), so no slot holds a child naming another
//    place.
// The claims are released when the write's scope ends, after its
// notification.
//
// Errors follow the interpreter's convention: -1 with an exception set.
#pragma once

#include "py/ref.hpp"
#include "symbolic/adoption.hpp"
#include "symbolic/claim.hpp"
#include "symbolic/node_ops.hpp"

namespace vesk::symbolic {

// One slot of one node.
struct WriteSlot {
    const NodeOps* ops = nullptr;
    PyObject* node = nullptr;     // whose path names the slot
    PyObject* storage = nullptr;  // where the slot lives
    SlotKey slot;
    PyObject* key = nullptr;      // the key as the members' paths name it
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
// tree.
[[nodiscard]] int detach_old_child(PyObject* value);

// Whether a value a slot held keeps a tree a write must let it go from. 1,
// 0 or -1.
[[nodiscard]] int keeps_tree(PyObject* value);

// Claims the node's tree and the slot in `scope`. 0 or -1.
[[nodiscard]] int claim_slot(ClaimScope& scope, const WriteSlot& w);

// What the slot holds now (null: nothing), claimed exclusively in `scope`
// unless it is a primitive value. 0 or -1.
[[nodiscard]] int read_claimed(ClaimScope& scope, const WriteSlot& w, py::Ref& out);

// When the occupant is let go, relative to the store: before it (dict and
// object writes) or after it (list writes, `let_go_after_store`).
enum class Order : unsigned char { DetachFirst, StoreFirst };

// `replace_slot`'s answer when its store stands though the write fails: the
// occupant it let go would not take the slot back (its hook refused, or
// placed it elsewhere), so the slot is the new value's. The failure is set;
// the caller keeps what the value needs (what was made for it) and reports
// nothing.
inline constexpr int kStoodFailing = -2;

// Stores `adopted.value` in the slot in place of `occupant` (what the write
// read under its claims, null for nothing). 1 stored, with what it replaced
// in `replaced` (null when the slot held nothing); 0 when the slot holds the
// value already (nothing stored, nothing reported); 2 when the slot is a
// list position gone meanwhile and the write may append instead
// (`append_if_gone`; nothing stored, the adoption kept); -1 with nothing
// stored and every child as it was, but one whose hook refused to be given
// back; kStoodFailing. With Order::StoreFirst the replaced value is not let
// go yet, and the adoption is the caller's to settle once it has
// (Adoption::stored, or its undoing with the store's).
[[nodiscard]] int replace_slot(const WriteSlot& w, Adoption& adopted, Order order,
                               PyObject* occupant, py::Ref& replaced);

// Removes what the slot holds, let go first. 1 removed (in `removed`), 0
// when the slot holds nothing, -1 with the slot and its occupant unchanged,
// or removed all the same when the occupant, let go, would not take the
// slot back.
[[nodiscard]] int remove_slot(const WriteSlot& w, py::Ref& removed);

// After a list store that replaced `replaced`: its letting go, by its
// parent alone. 0, or -1 (the store stands).
[[nodiscard]] int let_go_after_store(PyObject* replaced);

}  // namespace vesk::symbolic
