#include "symbolic/write_core.hpp"

#include "symbolic/bridge.hpp"
#include "symbolic/calls.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/momentary.hpp"
#include "topology/key_path.hpp"

namespace vesk::symbolic {

namespace {

using kernel::record::kRolePath;

ClaimSlot claim_slot(const WriteSlot& w) noexcept {
    return ClaimSlot{w.node, w.key, w.parent};
}

// Whether the slot still holds `value`. 1, 0 or -1.
int still_there(const WriteSlot& w, PyObject* value) {
    py::Ref now;
    if (w.ops->read_slot(w.storage, w.slot, now) < 0) return -1;
    return now.get() == value;
}

// Whether `value`, which the slot held, keeps a tree a write must let it go
// from. 1, 0 or -1.
int keeps_tree(PyObject* value) {
    if (!value || is_primitive(value)) return 0;  // the built-in classes keep no tree
    const int topo_aware = is_topology_aware(value);
    if (topo_aware <= 0) return topo_aware;
    return lenient_topology_flag(value) ? 1 : 0;
}

// What claiming an old value for its letting go answers.
enum class Claimed : signed char { Error = -1, Leaves, Calls, Gone };

// Claims `value`, which the slot held, for letting it go: whether this
// write makes its let-go calls (Calls) or leaves them (Leaves, claim.hpp),
// or the slot holds it no more (Gone, nothing claimed).
Claimed claim_old(const WriteSlot& w, PyObject* value, Claim& claim) {
    // Seen in the slot after its shard's epoch was read: the session it
    // opens may take the slot for its home (claim.hpp).
    const std::uint64_t epoch = claim_epoch(value);
    const int there = still_there(w, value);
    if (there <= 0) return there < 0 ? Claimed::Error : Claimed::Gone;
    switch (claim.let_go(value, claim_slot(w), epoch)) {
        case Claim::LetGo::Runs: return Claimed::Calls;
        case Claim::LetGo::Leaves: return Claimed::Leaves;
        case Claim::LetGo::Check: break;
    }
    const int still = still_there(w, value);
    if (still < 0) return Claimed::Error;
    if (still) {
        claim.confirm();
        return Claimed::Calls;
    }
    // Gone already: a store over it that came after this write claimed it
    // left the calls to this one.
    return claim.spent() ? Claimed::Calls : Claimed::Leaves;
}

// This write's let-go calls on `value`, claimed in `claim`: 0, or -1 with
// the claim told (the let-go they stood for is owed again). A moment's hold
// of the value by another thread (reading it) is waited out: the calls may
// stand for another write's store already.
int make_calls(PyObject* value, bool parent_only, Claim& claim) {
    if (detach_value(value, parent_only) == 0) return 0;
    claim.calls_failed();
    return -1;
}

// Whether two paths (either may be null) name one place. 1, 0 or -1.
int same_place(PyObject* a, PyObject* b) {
    if (a == b) return 1;
    return a && b ? topology::same_key_path(a, b) : 0;
}

// What a store over a value that keeps a tree settles in its critical
// section (StoreGuard): the new child's placement, if any, still stands, and
// the old value's let-go takes effect with the store itself. Were the two
// apart, a placement of the old value deciding in between could find it
// still stored here and store it back after it was replaced.
struct StoreSettles {
    const Claim* placement;  // null: nothing placed
    Claim* old_claim;        // null: the old value keeps no tree
    bool full;               // a full let-go (path too)
    Home dropped;            // dropped once the section is let go

    static bool allows(void* ctx) noexcept {
        auto* s = static_cast<StoreSettles*>(ctx);
        if (s->placement && !s->placement->commit_stands()) return false;
        if (s->old_claim) s->old_claim->let_go_committed(s->full, s->dropped);
        return true;
    }
};

// The conditional store of `value` over `expected`, settling `settles` in
// its critical section; what that replaced stays in `settles`, dropped by
// the caller once the section is let go.
StoreOutcome store_settling(const WriteSlot& w, PyObject* expected, PyObject* value,
                            StoreSettles& settles, py::Ref& now) {
    const StoreGuard guard{&StoreSettles::allows, &settles};
    return w.ops->store_if(w.storage, w.slot, expected, value, now, &guard);
}

}  // namespace

int detach_value(PyObject* value, bool parent_only) {
    // Each call once: a retry of both after the second was refused would
    // let the value go twice.
    if (past_momentary_holds([&] { return call_method_void<"topo_setparent">(value, Py_None); }) <
        0)
        return -1;
    if (parent_only) return 0;
    const ContainerBridge* b = container_bridge();
    if (!b) return -1;
    py::Ref empty = py::Ref::steal(PyObject_CallNoArgs(b->keypath_cls.get()));
    if (!empty) return -1;
    return past_momentary_holds(
        [&] { return call_method_void<"topo_setpath">(value, empty.get()); });
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
                 py::Ref& replaced, Claim& old_claim, bool& calls) {
    calls = false;
    PyObject* value = adopted.value.get();
    SlotRead read = seen;
    if (read.kind == SlotRead::Kind::Plain) {
        // Over a plain occupant, or none, there is nothing to claim or let
        // go: one conditional store decides. A slot found holding anything
        // else takes the claimed road below with what the store saw.
        py::Ref found;
        const StoreOutcome stored =
            w.ops->store_if(w.storage, w.slot, kPlainSlot, value, found, nullptr);
        if (stored == StoreOutcome::Done) {
            replaced = std::move(found);
            return 1;
        }
        if (stored == StoreOutcome::Error) return -1;
        if (found.get() == value) return 0;
        read = {SlotRead::Kind::Read, found.get()};
        replaced = std::move(found);  // keeps the read alive
    }
    bool effective = false;  // the placement took effect
    for (bool again = false;; again = true) {
        // A round after the first: writes that took effect on the new value
        // since its commit (let it go from this slot, placed it elsewhere)
        // void the commit, and it commits again.
        if (again && effective && !adopted.claim.still_committed()) effective = false;
        py::Ref current;
        if (read.kind == SlotRead::Kind::Read) {
            current = py::Ref::borrow(read.value);
        } else if (w.ops->read_slot(w.storage, w.slot, current) < 0) {
            break;
        }
        read = {};  // a later round reads the slot
        if (current.get() == value) return 0;
        if (!current && w.append_if_gone) return 2;  // a list's items are never null
        if (!effective) {
            // Before anything of the old value is let go: a child found held
            // elsewhere by now is refused, cloned or shared with the slot
            // untouched.
            struct Here {
                const WriteSlot* w;
                PyObject* value;
            } here{&w, value};
            const int took = adopted.take_effect(
                [](void* ctx) {
                    const auto* h = static_cast<Here*>(ctx);
                    return still_there(*h->w, h->value);
                },
                &here);
            if (took <= 0) {
                if (took < 0) adopted.undo();
                return took;
            }
            effective = true;
            value = adopted.value.get();
            if (current.get() == value) return 0;
        }
        // It goes in now: a child that left its stamping to the write
        // letting it go from here is stamped first (Python code runs: the
        // slot is read again).
        if (adopted.stamp_pending()) {
            if (adopted.stamp_late() < 0) return -1;
            continue;
        }
        const int tree = keeps_tree(current.get());
        if (tree < 0) break;
        bool own_calls = false;
        if (tree) {
            const Claimed claimed = claim_old(w, current.get(), old_claim);
            if (claimed == Claimed::Error) break;
            if (claimed == Claimed::Gone) continue;
            own_calls = claimed == Claimed::Calls;
            if (own_calls && order == Order::DetachFirst &&
                make_calls(current.get(), false, old_claim) < 0)
                break;
        }
        py::Ref now;
        StoreSettles settles{&adopted.claim, tree ? &old_claim : nullptr,
                             order == Order::DetachFirst, {}};
        const StoreOutcome stored = store_settling(w, current.get(), value, settles, now);
        if (stored == StoreOutcome::Done) {
            adopted.mark_stored();
            replaced = std::move(now);
            if (order == Order::StoreFirst)
                calls = own_calls;
            else
                old_claim.leave();
            return 1;
        }
        if (stored == StoreOutcome::Error) {
            if (w.append_if_gone && PyErr_ExceptionMatches(PyExc_IndexError)) {
                py::Ref error = py::Ref::steal(PyErr_GetRaisedException());
                if (w.ops->read_slot(w.storage, w.slot, now) == 0 && !now) {
                    old_claim.leave();
                    return 2;
                }
                PyErr_SetRaisedException(error.release());
            }
            break;
        }
        // Another write changed the slot: what this write let go of the old
        // value, if anything, its session sets right or takes for the store
        // that replaced it.
        old_claim.leave();
    }
    old_claim.leave_failed();
    adopted.undo();
    return -1;
}

int let_go_after_store(PyObject* replaced, Claim& old_claim, bool calls) {
    // The store stands: the letting go completes it, so another thread's
    // momentary hold of the value is waited out.
    if (calls && detach_value(replaced, true) < 0) {
        old_claim.calls_failed();
        old_claim.leave_failed();
        return -1;
    }
    old_claim.leave();
    return 0;
}

int remove_slot(const WriteSlot& w, py::Ref& removed) {
    for (;;) {
        py::Ref current;
        if (w.ops->read_slot(w.storage, w.slot, current) < 0) return -1;
        if (!current) return 0;
        const int tree = keeps_tree(current.get());
        if (tree < 0) return -1;
        Claim claim;
        if (tree) {
            const Claimed claimed = claim_old(w, current.get(), claim);
            if (claimed == Claimed::Error) return -1;
            if (claimed == Claimed::Gone) continue;
            if (claimed == Claimed::Calls && make_calls(current.get(), false, claim) < 0) {
                claim.leave_failed();
                return -1;
            }
        }
        py::Ref now;
        StoreSettles settles{nullptr, tree ? &claim : nullptr, true, {}};
        const StoreOutcome stored = store_settling(w, current.get(), nullptr, settles, now);
        if (stored == StoreOutcome::Done) {
            claim.leave();
            removed = std::move(current);
            return 1;
        }
        if (stored == StoreOutcome::Error) {
            claim.leave_failed();
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
    // a newer path before this write's older one landed. (A hook that moves
    // the node whenever its member is re-pathed would keep this going: the
    // rounds are bounded.) Under a claim that settles it, and only while
    // the slot holds it: a write may have moved it since.
    PyObject* value = adopted.value.get();
    Claim settling;
    if (!settling.settle(value, claim_slot(w))) return 0;
    py::Ref settled = path_now;  // the answer stays the path read at the store
    for (int round = 0; round < kSettleRounds; ++round) {
        const int there = still_there(w, value);
        if (there <= 0) return there;
        py::Ref path = topology::child_key_path(w.key, settled.get());
        if (!path ||
            past_momentary_holds(
                [&] { return call_method_void<"topo_setpath">(value, path.get()); }) < 0)
            return -1;
        py::Ref again;
        if (past_momentary_holds([&] { return w.ops->get_role(w.node, kRolePath, again); }) < 0)
            return -1;
        const int unmoved = same_place(again.get(), settled.get());
        if (unmoved != 0) return unmoved < 0 ? -1 : 0;
        settled = std::move(again);
    }
    return 0;
}

}  // namespace vesk::symbolic
