// The native state of a Field, shared by the files that implement it.
//
// Its members are listed once, in FieldMembers: construction fills them, a
// shallow copy copies them whole, and `visit` hands every reference to the
// generated cycle-collector hooks (type.hpp). The cached record lives beside
// them in its own slot, which a copy never takes over.
#pragma once

#include "py/layout.hpp"
#include "py/mutex.hpp"
#include "py/record.hpp"
#include "py/ref.hpp"
#include "typing/change_epoch.hpp"
#include "typing/field/field_meta.hpp"
#include "typing/meta_epoch.hpp"
#include "typing/published_slot.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace vesk::typing::field {

// The cached record of one field (published_slot.hpp).
using MetaSlot = PublishedSlot<FieldMeta>;

// What a field declares. Absent objects are None; `assign` is null when no
// policy is declared.
struct FieldMembers {
    py::Ref key;                                // a key spec (any object once set through `_key`)
    py::Ref value;                              // the value spec
    py::Ref description = py::Ref::borrow(Py_None);
    py::Ref origin = py::Ref::borrow(Py_None);
    py::Ref metadata;                           // a dict unless set through `_metadata`
    py::Ref validator = py::Ref::borrow(Py_None);
    py::Ref alias = py::Ref::borrow(Py_None);
    py::Ref assign;                             // a str, or null for no declared policy
    Tri enable_repr = Tri::Unset;
    Tri enable_compare = Tri::Unset;
    Tri enable_hash = Tri::Unset;
    bool enable_init = true;
    Tri enable_clone = Tri::Unset;
    Tri enable_validation = Tri::Unset;

    template <class V>
    void visit(V&& v) {
        v(key);
        v(value);
        v(description);
        v(origin);
        v(metadata);
        v(validator);
        v(alias);
        v(assign);
    }

    // The effective value of a tri-state flag: its stated value, else
    // `enable_init`.
    [[nodiscard]] bool effective(Tri t) const noexcept {
        return t == Tri::Unset ? enable_init : t == Tri::True;
    }
};

struct FieldState : FieldMembers {
    MetaSlot meta;

    // Called by every exclusive hold of the field as it ends, still held:
    // the record's generation and the change epoch move on before any
    // reader can see the new state, so one that noted them before (a
    // container applying the field to many keys) learns of the change.
    // The setters whose member feeds the record also drop it, after the
    // hold.
    void changed() noexcept {
        meta.bump();
        note_change();
    }

    template <class V>
    void visit(V&& v) {
        FieldMembers::visit(v);
        meta.visit(v);
    }
};

// The record published in the slot of `field`, a native Field, borrowed,
// or null: one atomic load. The caller is inside a `ReadSection`.
[[nodiscard]] inline const FieldMeta* published_meta(PyObject* field) noexcept {
    return py::state<FieldState>(field).meta.peek();
}

}  // namespace vesk::typing::field
