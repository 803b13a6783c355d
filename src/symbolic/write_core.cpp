#include "symbolic/write_core.hpp"

#include "py/errors.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/calls.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/momentary.hpp"
#include "symbolic/placement.hpp"

namespace vesk::symbolic {

namespace {

// How far a letting go got: what it changed on the value.
struct LetGo {
    bool parent = false;
    bool path = false;
};

int let_go(PyObject* value, bool parent_only, LetGo& done) {
    // Each call once: a retry of both after the second was refused would
    // let the value go twice. Each is noted before it is made: one that fails
    // may have changed the value part of the way.
    done.parent = true;
    LettingGo going(value);
    if (past_momentary_holds([&] { return call_method_void<"topo_setparent">(value, Py_None); }) <
        0)
        return -1;
    // Placed again by its own hook: the place it was given stands.
    if (parent_only || going.placed()) return 0;
    const ContainerBridge* b = container_bridge();
    if (!b) return -1;
    py::Ref empty = py::Ref::steal(PyObject_CallNoArgs(b->keypath_cls.get()));
    if (!empty) return -1;
    done.path = true;
    return past_momentary_holds(
        [&] { return call_method_void<"topo_setpath">(value, empty.get()); });
}

// Lets go of `value`, which keeps a tree, before the store over it: what it
// had is read first, so a write that fails can attach it again. 0, or -1
// with `value` as it was.
int let_go_first(PyObject* value, Placement& prior, LetGo& done) {
    if (!read_placement(value, prior)) return -1;
    if (let_go(value, false, done) == 0) return 0;
    give_back(value, prior, done.parent, done.path, false);
    return -1;
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
        Placement prior;
        LetGo done;
        if (tree && let_go_first(current.get(), prior, done) < 0) {
            adopted.undo();
            return -1;
        }
        py::Ref now;
        const StoreOutcome stored =
            w.ops->store_if(w.storage, w.slot, current.get(), value, now);
        if (stored == StoreOutcome::Done) {
            if (order == Order::DetachFirst) adopted.stored();
            replaced = std::move(current);
            return 1;
        }
        if (stored == StoreOutcome::Changed) {
            // What it let go has left the slot since: that stands.
            current = std::move(now);
            continue;
        }
        if (w.append_if_gone && PyErr_ExceptionMatches(PyExc_IndexError)) {
            py::Ref error = py::Ref::steal(PyErr_GetRaisedException());
            py::Ref there;
            if (w.ops->read_slot(w.storage, w.slot, there) == 0 && !there) return 2;
            PyErr_SetRaisedException(error.release());
        }
        if (tree) give_back(current.get(), prior, done.parent, done.path, false);
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
        Placement prior;
        LetGo done;
        if (tree && let_go_first(current.get(), prior, done) < 0) return -1;
        py::Ref now;
        const StoreOutcome stored =
            w.ops->store_if(w.storage, w.slot, current.get(), nullptr, now);
        if (stored == StoreOutcome::Done) {
            removed = std::move(current);
            return 1;
        }
        if (stored == StoreOutcome::Error) {
            if (tree) give_back(current.get(), prior, done.parent, done.path, false);
            return -1;
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
