#include "symbolic/write_core.hpp"

#include "py/errors.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/calls.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/momentary.hpp"
#include "symbolic/placement.hpp"
#include "symbolic/repath_walk.hpp"

namespace vesk::symbolic {

namespace {

// How far a letting go got: what it changed on the value.
struct LetGo {
    bool parent = false;
    bool path = false;
    bool placed = false;  // placed again by its own hook meanwhile
};

int let_go(PyObject* value, bool parent_only, LetGo& done) {
    // Each call once: a retry of both after the second was refused would
    // let the value go twice. Each is noted before it is made: one that fails
    // may have changed the value part of the way.
    done.parent = true;
    LettingGo going(value);
    // A walk of its own (repath_walk.hpp), not one of a write it runs in.
    RepathWalk walk;
    if (past_momentary_holds([&] { return call_method_void<"topo_setparent">(value, Py_None); }) <
        0)
        return -1;
    // Placed again by its own hook: the place it was given stands.
    done.placed = going.placed();
    if (parent_only || done.placed) return 0;
    const ContainerBridge* b = container_bridge();
    if (!b) return -1;
    py::Ref empty = py::Ref::steal(PyObject_CallNoArgs(b->keypath_cls.get()));
    if (!empty) return -1;
    done.path = true;
    return past_momentary_holds(
        [&] { return call_method_void<"topo_setpath">(value, empty.get()); });
}

// Lets go of `value`, which keeps a tree, before the store over it: what it
// had is read first (as far as it tells it), so a write that fails can
// attach it again (`take_back`). 0, or -1 with `done` telling how far it got.
int let_go_first(PyObject* value, Placement& prior, LetGo& done) {
    if (!read_placement(value, prior, true)) return -1;
    return let_go(value, false, done);
}

// `value`, let go by a write that fails (as far as `done` says), given its
// place back in the slot that still holds it: whether it has it again
// (placement.hpp). One that a hook of its own placed again as it was let go
// keeps that place.
bool take_back(PyObject* value, const Placement& prior, const LetGo& done) {
    return !done.placed && symbolic::take_back(value, prior, done.parent, done.path);
}

enum class Stored : unsigned char {
    Done,
    Stood,          // made, though the write fails (kStoodFailing)
    Gone,           // the occupant left the slot since: read it again
    AppendInstead,  // a list position gone meanwhile (`append_if_gone`)
    Failed,         // -1, the occupant given its place back where it takes it
};

// Lets go of `current`, the slot's occupant, when it keeps a tree (`tree`),
// then stores `value` over it (null: removes it), only while the slot still
// holds it. A write that fails gives the occupant its place back; one that
// will not take it (`take_back`) leaves the slot to `value` all the same.
Stored let_go_and_store(const WriteSlot& w, PyObject* current, PyObject* value, bool tree,
                        py::Ref& now) {
    Placement prior;
    LetGo done;
    // The write's failure, once the occupant will not take the slot back.
    py::Ref failure;
    if (tree && let_go_first(current, prior, done) < 0) {
        if (take_back(current, prior, done)) return Stored::Failed;
        failure = py::Ref::steal(PyErr_GetRaisedException());
    }
    for (;;) {
        const StoreOutcome stored = w.ops->store_if(w.storage, w.slot, current, value, now);
        if (stored == StoreOutcome::Done && !failure) return Stored::Done;
        if (stored == StoreOutcome::Changed && !failure) return Stored::Gone;
        if (failure) {
            // Made, or failed again (the occupant then stays as its hook
            // left it): the first failure is the write's.
            PyErr_SetRaisedException(failure.release());
            return stored == StoreOutcome::Done ? Stored::Stood : Stored::Failed;
        }
        if (value && w.append_if_gone && PyErr_ExceptionMatches(PyExc_IndexError)) {
            py::Ref error = py::Ref::steal(PyErr_GetRaisedException());
            py::Ref there;
            if (w.ops->read_slot(w.storage, w.slot, there) == 0 && !there)
                return Stored::AppendInstead;
            PyErr_SetRaisedException(error.release());
        }
        if (!tree || take_back(current, prior, done)) return Stored::Failed;
        failure = py::Ref::steal(PyErr_GetRaisedException());
    }
}

}  // namespace

int detach_value(PyObject* value, bool parent_only) {
    LetGo done;
    return let_go(value, parent_only, done);
}

int detach_old_child(PyObject* value) {
    const int tree = keeps_tree(value);
    return tree <= 0 ? tree : detach_value(value, false);
}

int keeps_tree(PyObject* value) {
    if (!value || is_primitive(value)) return 0;  // the built-in classes keep no tree
    const int topo_aware = is_topology_aware(value);
    if (topo_aware <= 0) return topo_aware;
    return lenient_topology_flag(value) ? 1 : 0;
}

int claim_slot(ClaimScope& scope, const WriteSlot& w) {
    if (scope.tree(w.node) < 0) return -1;
    return scope.slot(w.node, w.key);
}

int read_claimed(ClaimScope& scope, const WriteSlot& w, py::Ref& out) {
    if (w.ops->read_slot(w.storage, w.slot, out) < 0) return -1;
    return out && !is_primitive(out.get()) ? scope.exclusive(out.get()) : 0;
}

int replace_slot(const WriteSlot& w, Adoption& adopted, Order order, PyObject* occupant,
                 py::Ref& replaced) {
    ClaimScope* scope = ClaimScope::current();
    PyObject* value = adopted.value.get();
    py::Ref current = py::Ref::borrow(occupant);
    for (;;) {
        if (current.get() == value) {
            adopted.stored();
            return 0;
        }
        if (!current && w.append_if_gone) return 2;  // a list's items are never null
        // An occupant met since the write claimed its own (moved in by an
        // insertion or removal elsewhere in a list, or stored by a hook of
        // this write) is claimed before anything happens to it.
        if (current.get() != occupant && current && !is_primitive(current.get()) &&
            (!scope || scope->exclusive(current.get()) < 0)) {
            if (!scope) py::raise_internal("a write stores outside its claim scope");
            adopted.undo();
            return -1;
        }
        const int tree = order == Order::DetachFirst ? keeps_tree(current.get()) : 0;
        if (tree < 0) {
            adopted.undo();
            return -1;
        }
        py::Ref now;
        switch (let_go_and_store(w, current.get(), value, tree > 0, now)) {
            case Stored::Done:
                if (order == Order::DetachFirst) adopted.stored();
                replaced = std::move(current);
                return 1;
            case Stored::Stood:
                adopted.stored();
                replaced = std::move(current);
                return kStoodFailing;
            case Stored::Gone:
                // What it let go has left the slot since: that stands.
                current = std::move(now);
                continue;
            case Stored::AppendInstead: return 2;
            case Stored::Failed: break;
        }
        adopted.undo();
        return -1;
    }
}

int remove_slot(const WriteSlot& w, py::Ref& removed) {
    ClaimScope* scope = ClaimScope::current();
    for (;;) {
        py::Ref current;
        if (w.ops->read_slot(w.storage, w.slot, current) < 0) return -1;
        if (!current) return 0;
        if (!is_primitive(current.get()) && scope && scope->exclusive(current.get()) < 0)
            return -1;
        const int tree = keeps_tree(current.get());
        if (tree < 0) return -1;
        py::Ref now;
        switch (let_go_and_store(w, current.get(), nullptr, tree > 0, now)) {
            case Stored::Done: removed = std::move(current); return 1;
            case Stored::Stood: removed = std::move(current); return -1;  // removed all the same
            case Stored::Gone: continue;
            case Stored::AppendInstead:
            case Stored::Failed: return -1;
        }
    }
}

int let_go_after_store(PyObject* replaced) {
    // The store stands: the letting go completes it, so another thread's
    // momentary hold of the value is waited out.
    const int tree = keeps_tree(replaced);
    return tree <= 0 ? tree : detach_value(replaced, true);
}

}  // namespace vesk::symbolic
