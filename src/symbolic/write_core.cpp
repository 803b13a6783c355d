#include "symbolic/write_core.hpp"

#include "symbolic/bridge.hpp"
#include "symbolic/calls.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/momentary.hpp"
#include "topology/key_path.hpp"

namespace vesk::symbolic {

namespace {

using kernel::record::kRolePath;

// Whether the slot still holds the value a waiting write means to replace.
struct StillThere {
    const WriteSlot* w;
    PyObject* value;

    static int check(void* ctx) {
        const auto* self = static_cast<const StillThere*>(ctx);
        py::Ref now;
        if (self->w->ops->read_slot(self->w->storage, self->w->slot, now) < 0) return -1;
        return now.get() == self->value;
    }
};

// Claims `value`, which the slot held when read, for letting it go. `detach`
// tells whether this write lets it go: a value that keeps a tree, claimed by
// no other write (one already on it lets it go, and this write stores over
// it without waiting; claim.hpp). 0, or -1.
int claim_old(const WriteSlot& w, PyObject* value, Claim& claim, bool& detach) {
    detach = false;
    if (!value || is_primitive(value)) return 0;  // the built-in classes keep no tree
    const int topo_aware = is_topology_aware(value);
    if (topo_aware <= 0) return topo_aware;
    // Claimed before its flag is read: no other write places it meanwhile.
    if (claim.let_go(value, w.node, w.parent, w.key) == Claim::Taken::Overtaking) return 0;
    detach = lenient_topology_flag(value);
    if (!detach) claim.leave();
    return 0;
}

// This write claimed `value` to let it go, and another write stored over it
// meanwhile, leaving the letting go to this one (it came first), or this
// write overtook another that has gone since: done here, however this write
// goes on. Its failure is not this write's (nor, done, the other's): the
// claim is left owing, so the last write out of the value's session tries
// again.
void let_go_overtaken(PyObject* value, bool parent_only, Claim& claim) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    const bool done =
        past_momentary_holds([&] { return detach_value(value, parent_only); }) == 0;
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
    if (done)
        claim.leave();
    else
        claim.abandon();
}

// The first write letting `value` go ends without its own store over it
// (before letting it go, or instead of it): where
// an overtaking write stored over it meanwhile, it is let go here.
void finish_letting_go(PyObject* value, bool parent_only, Claim& claim) noexcept {
    if (claim.leave_unless_overtaken()) let_go_overtaken(value, parent_only, claim);
}

// A write that overtook the one letting `value` go stored over it: where
// that write has gone meanwhile, the letting go is this one's.
void after_storing_over(PyObject* value, bool parent_only, Claim& claim) noexcept {
    if (claim.stored_over())
        let_go_overtaken(value, parent_only, claim);
    else
        claim.leave();
}

// Attaches a value this write detached again at its key, as adoption stamps
// a child: its path, then its parent. Best effort: the pending exception is
// kept, a failure here dropped. Where another write stored over the value
// meanwhile, it is let go again.
void attach_again(const WriteSlot& w, PyObject* value, Claim& claim) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    py::Ref owner_path;
    if (past_momentary_holds([&] { return w.ops->get_role(w.node, kRolePath, owner_path); }) == 0) {
        py::Ref path = topology::child_key_path(w.key, owner_path.get());
        if (path &&
            past_momentary_holds(
                [&] { return call_method_void<"topo_setpath">(value, path.get()); }) == 0 &&
            w.parent && w.parent != Py_None)
            (void)past_momentary_holds(
                [&] { return call_method_void<"topo_setparent">(value, w.parent); });
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
    finish_letting_go(value, false, claim);
}

// A value this write failed to let go: attached again where the slot still
// holds it; else another write removed it meanwhile, and one that stored
// over it relies on this one to let it go.
void failed_to_let_go(const WriteSlot& w, PyObject* value, Claim& claim) noexcept {
    StillThere check{&w, value};
    PyObject* pending = PyErr_GetRaisedException();
    const int still = StillThere::check(&check);
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
    if (still > 0)
        attach_again(w, value, claim);
    else
        finish_letting_go(value, false, claim);
}

// Lets `value`, claimed by this write to be let go, go while the slot still
// holds it (before the store). 1 let go; 0 when the slot no longer holds it
// (what this write then owes is done); -1 with an exception, the value
// attached again where the slot still holds it.
int let_go_in_slot(const WriteSlot& w, PyObject* value, Claim& claim) {
    StillThere check{&w, value};
    const int still = StillThere::check(&check);
    if (still <= 0) {
        if (still == 0) finish_letting_go(value, false, claim);
        return still;
    }
    if (detach_value(value, false) < 0) {
        failed_to_let_go(w, value, claim);
        return -1;
    }
    return 1;
}

// Whether two paths (either may be null) name one place. 1, 0 or -1.
int same_place(PyObject* a, PyObject* b) {
    if (a == b) return 1;
    return a && b ? topology::same_key_path(a, b) : 0;
}

}  // namespace

int detach_value(PyObject* value, bool parent_only) {
    if (call_method_void<"topo_setparent">(value, Py_None) < 0) return -1;
    if (parent_only) return 0;
    const ContainerBridge* b = container_bridge();
    if (!b) return -1;
    py::Ref empty = py::Ref::steal(PyObject_CallNoArgs(b->keypath_cls.get()));
    if (!empty) return -1;
    return call_method_void<"topo_setpath">(value, empty.get());
}

int old_value(const WriteSlot& w, PyObject* absent, py::Ref& out, SlotRead& seen) {
    if (w.ops->read_slot(w.storage, w.slot, out) < 0) return -1;
    seen = {SlotRead::Kind::Read, out.get()};
    if (!out) out = py::Ref::borrow(absent);
    return 0;
}

int detach_old_child(PyObject* value) {
    if (is_primitive(value)) return 0;
    const int topo_aware = is_topology_aware(value);
    if (topo_aware <= 0 || !lenient_topology_flag(value)) return topo_aware < 0 ? -1 : 0;
    return detach_value(value, false);
}

int replace_slot(const WriteSlot& w, Adoption& adopted, Order order, const SlotRead& seen,
                 py::Ref& replaced, Claim& old_claim) {
    PyObject* value = adopted.value.get();
    if (adopted.yielded()) return 0;
    SlotRead read = seen;
    py::Ref found;  // what a store over a plain occupant found there instead
    adopted.storing();
    if (read.kind == SlotRead::Kind::Plain) {
        // Over a plain occupant, or none, there is nothing to claim or let
        // go: one conditional store decides. A slot found holding anything
        // else takes the claimed road below with what the store saw.
        const StoreOutcome stored = w.ops->store_if(w.storage, w.slot, kPlainSlot, value, found);
        if (stored == StoreOutcome::Done) {
            adopted.mark_stored();
            replaced = std::move(found);
            return 1;
        }
        if (stored == StoreOutcome::Error) {
            adopted.undo();
            return -1;
        }
        read = {SlotRead::Kind::Read, found.get()};
    }
    for (;;) {
        py::Ref current;
        bool detach = false;
        if (read.kind == SlotRead::Kind::Read)
            current = py::Ref::borrow(read.value);
        else if (w.ops->read_slot(w.storage, w.slot, current) < 0)
            break;
        if (current.get() == value) return 0;
        if (claim_old(w, current.get(), old_claim, detach) < 0) break;
        PyObject* expected = current.get();
        read = {};  // a later round reads the slot
        bool detached = false;
        if (detach && order == Order::DetachFirst) {
            // Let go while the slot still holds it; the claim keeps other
            // writes from placing it meanwhile.
            const int let_go = let_go_in_slot(w, current.get(), old_claim);
            if (let_go < 0) break;
            if (let_go == 0) continue;
            detached = true;
        }
        py::Ref now;
        const StoreOutcome stored = w.ops->store_if(w.storage, w.slot, expected, value, now);
        const bool parent_only = order == Order::StoreFirst;
        if (stored == StoreOutcome::Done) {
            adopted.mark_stored();
            replaced = std::move(now);
            // Stored first, a value this write lets go is let go by the
            // caller, still claimed.
            if (old_claim.held() && !detach)
                after_storing_over(current.get(), parent_only, old_claim);
            else if (order == Order::DetachFirst)
                old_claim.leave();
            return 1;
        }
        if (stored == StoreOutcome::Error) {
            if (detached) attach_again(w, current.get(), old_claim);
            break;
        }
        // Another write changed the slot. Where it stored over the value
        // this write was to let go, the letting go is still this write's.
        if (detach && !detached)
            finish_letting_go(current.get(), parent_only, old_claim);
        else
            old_claim.leave();
    }
    old_claim.leave();
    adopted.undo();
    return -1;
}

int remove_slot(const WriteSlot& w, py::Ref& removed) {
    for (;;) {
        py::Ref current;
        if (w.ops->read_slot(w.storage, w.slot, current) < 0) return -1;
        if (!current) return 0;
        Claim claim;
        bool detach = false;
        if (claim_old(w, current.get(), claim, detach) < 0) return -1;
        if (detach) {
            const int let_go = let_go_in_slot(w, current.get(), claim);
            if (let_go < 0) return -1;
            if (let_go == 0) continue;
        }
        py::Ref now;
        const StoreOutcome stored =
            w.ops->store_if(w.storage, w.slot, current.get(), nullptr, now);
        if (stored == StoreOutcome::Done) {
            if (claim.held() && !detach) after_storing_over(current.get(), false, claim);
            removed = std::move(current);
            return 1;
        }
        if (stored == StoreOutcome::Error) {
            if (detach) attach_again(w, current.get(), claim);
            return -1;
        }
    }
}

int settle_path(const WriteSlot& w, const Adoption& adopted, PyObject* stamped_key,
                py::Ref& path_now) {
    if (!adopted.stamped()) return 0;
    // The value is stored: re-pathing it completes the write, so a moment's
    // hold of the node or the value by another thread is waited out.
    if (past_momentary_holds([&] { return w.ops->get_role(w.node, kRolePath, path_now); }) < 0)
        return -1;
    PyObject* under = adopted.stamped_under();
    int same = same_place(under == Py_None ? nullptr : under, path_now.get());
    if (same > 0 && stamped_key && stamped_key != w.key)
        same = PyObject_RichCompareBool(stamped_key, w.key, Py_EQ);
    if (same != 0) return same < 0 ? -1 : 0;
    // Re-pathed under the node's path as it is after the re-pathing: another
    // thread moving the node meanwhile may have re-pathed its members under
    // a newer path before this write's older one landed.
    // (A hook that moves the node whenever its member is re-pathed would
    // keep this going: the rounds are bounded.) The value is claimed for it
    // as one it settles: a write placing it meanwhile (it left the node) is
    // not refused, and the last of the two out sets it right.
    PyObject* value = adopted.value.get();
    Claim settling;
    settling.settle(value, w.node, w.parent, w.key);
    // Only while the slot holds it: another write may have moved it since.
    StillThere still{&w, value};
    for (int round = 0; round < kSettleRounds; ++round) {
        const int there = StillThere::check(&still);
        if (there <= 0) return there;
        py::Ref path = topology::child_key_path(w.key, path_now.get());
        if (!path ||
            past_momentary_holds(
                [&] { return call_method_void<"topo_setpath">(value, path.get()); }) < 0)
            return -1;
        py::Ref again;
        if (past_momentary_holds([&] { return w.ops->get_role(w.node, kRolePath, again); }) < 0)
            return -1;
        const int unmoved = same_place(again.get(), path_now.get());
        if (unmoved != 0) return unmoved < 0 ? -1 : 0;
        path_now = std::move(again);
    }
    return 0;
}

}  // namespace vesk::symbolic
