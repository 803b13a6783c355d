// The node-state properties of SymDict and SymList: getters and setters over
// the node's references and flags and the container's own settings. Object
// setters store any object (None clears), bool setters take a bool scalar;
// no setter re-paths, re-parents, seals or notifies. Deleting a property is
// refused. The setters of what a write checks (the three flags a write's
// permission reads, the bound spec) claim the container as `sym_seal` does.
#pragma once

#include "py/args.hpp"
#include "py/hold.hpp"
#include "symbolic/checked_change.hpp"
#include "symbolic/container/state.hpp"
#include "symbolic/momentary.hpp"
#include "symbolic/object_bridge.hpp"

namespace vesk::symbolic::properties {

enum class RefField : unsigned char { Parent, Path, Origin, ValueSpec, OnChange };
enum class BoolField : unsigned char {
    Sealed, AllowPartial, AccessorWritable, Wrap, AsObjectAttributes, EnableTopo,
};

template <class T>
[[nodiscard]] auto& ref_field(T& s, RefField f) noexcept {
    switch (f) {
        case RefField::Parent: return s.node.parent;
        case RefField::Path: return s.node.path;
        case RefField::Origin: return s.node.origin;
        case RefField::ValueSpec: return s.value_spec;
        case RefField::OnChange: break;
    }
    return s.onchange_callback;
}

template <class T>
[[nodiscard]] auto& bool_field(T& s, BoolField f) noexcept {
    switch (f) {
        case BoolField::Sealed: return s.node.sealed;
        case BoolField::AllowPartial: return s.node.allow_partial;
        case BoolField::AccessorWritable: return s.node.accessor_writable;
        case BoolField::Wrap: return s.wrap;
        case BoolField::AsObjectAttributes: return s.as_object_attributes_container;
        case BoolField::EnableTopo: break;
    }
    return s.enable_topo;
}

[[nodiscard]] inline bool refuse_delete(PyObject* value) {
    if (value) return false;
    PyErr_SetString(PyExc_AttributeError, "property has no deleter");
    return true;
}

template <class S, RefField F>
PyObject* get_ref(const py::Shared<S>& self) {
    return py::new_ref(or_none(ref_field(*self, F)));
}

template <class S, RefField F>
int set_ref(py::Scoped<S> self, PyObject* value) {
    if (refuse_delete(value)) return -1;
    py::Ref dropped;
    auto held = self.exclusive();
    if (!held) return -1;
    SymNode::store(ref_field(*held, F), value, dropped);
    held.release();
    return 0;
}

// The node's path or parent read where another thread's hold of the state
// can only be a momentary one (a read, a flag set), which is waited out
// rather than failing the step (momentary.hpp): a topology call under the
// node's claim, a write reading its container's path again after its store.
// 0 or -1.
template <class S, RefField F>
[[nodiscard]] int read_ref_past_holds(PyObject* self, py::Ref& out) {
    static_assert(F == RefField::Path || F == RefField::Parent);
    return past_momentary_holds([&] {
        py::Shared<S> held(self);
        if (!held) return -1;
        out = ref_field(*held, F);
        return 0;
    });
}

template <class S, BoolField F>
PyObject* get_bool(const py::Shared<S>& self) {
    return py::boolean(bool_field(*self, F));
}

template <class S, BoolField F>
int set_bool(const py::Exclusive<S>& self, PyObject* value) {
    bool b = false;
    if (refuse_delete(value) || !py::arg_bool_scalar("value", value, b)) return -1;
    bool_field(*self, F) = b;
    return 0;
}

// `_sealed`, `_allow_partial`, `_accessor_writable`: what a write checks its
// permission against, set as `sym_seal` sets the seal (checked_change.hpp),
// so a write that read the flag before never stores after the setter
// returned.
template <class S, BoolField F>
int set_checked_bool(py::Scoped<S> self, PyObject* value) {
    static_assert(F == BoolField::Sealed || F == BoolField::AllowPartial ||
                  F == BoolField::AccessorWritable);
    bool b = false;
    if (refuse_delete(value) || !py::arg_bool_scalar("value", value, b)) return -1;
    return change_checked<S>(self.object(), self.object(), [&](S& s) { bool_field(s, F) = b; });
}

// `_value_spec`: the spec a write checks its value against, replaced the
// same way; the spec let go is released after the change.
template <class S>
int set_value_spec(py::Scoped<S> self, PyObject* value) {
    if (refuse_delete(value)) return -1;
    py::Ref dropped;
    return change_checked<S>(self.object(), self.object(), [&](S& s) {
        SymNode::store(ref_field(s, RefField::ValueSpec), value, dropped);
    });
}

// `topo_parent` and `topo_path`: refused with the bridge's topology error
// when the container keeps no tree.
template <class S, RefField F>
PyObject* get_topology(py::Scoped<S> self) {
    bool enable_topo = true;
    py::Ref value;
    {
        auto held = self.shared();
        if (!held) return nullptr;
        enable_topo = held->enable_topo;
        value = ref_field(*held, F);
    }
    const char* label = F == RefField::Parent ? "topo_parent" : "topo_path";
    if (object::require_topo(self.object(), enable_topo, label) < 0) return nullptr;
    return py::new_ref(or_none(value));
}

}  // namespace vesk::symbolic::properties
