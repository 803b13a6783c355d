// The native state of a Field, shared by the files that implement it.
//
// Its members are listed once, in FieldMembers: construction fills them, a
// shallow copy copies them whole, and `visit` hands every reference to the
// generated cycle-collector hooks (type.hpp). The cached record lives beside
// them in its own slot, which a copy never takes over.
#pragma once

#include "py/mutex.hpp"
#include "py/record.hpp"
#include "py/ref.hpp"
#include "typing/field/field_meta.hpp"

#include <atomic>
#include <cstdint>

namespace vesk::typing::field {

// The cached record of one field. The lock guards only the slot; records
// taken out of it are released by the caller after unlocking, since the last
// release of a record drops Python objects and may run finalisers. A cache
// is not part of what the field declares: a copied slot starts empty.
class MetaSlot {
public:
    MetaSlot() noexcept = default;
    MetaSlot(const MetaSlot&) noexcept {}
    MetaSlot& operator=(const MetaSlot&) noexcept { return *this; }

    // The cached record (a new reference), or null.
    [[nodiscard]] FieldMetaRef load() const noexcept {
        py::MutexLock lock(mutex_);
        return cached_.get();
    }
    // The number of invalidations so far; a record built from state read
    // after this value is current only if it has not moved on.
    [[nodiscard]] std::uint64_t generation() const noexcept {
        py::MutexLock lock(mutex_);
        return generation_.load(std::memory_order_relaxed);
    }
    // The same without the lock, for a holder of a record taken earlier that
    // only asks whether the field has changed since: a moved-on value means
    // its record may be stale.
    [[nodiscard]] std::uint64_t generation_now() const noexcept {
        return generation_.load(std::memory_order_acquire);
    }
    // Caches `m` unless the field changed since `generation` was read, so a
    // build that raced a change never outlives it. Returns the record that
    // was replaced, for the caller to release.
    [[nodiscard]] FieldMetaRef store(FieldMetaRef m, std::uint64_t generation) const noexcept {
        {
            py::MutexLock lock(mutex_);
            if (generation == generation_.load(std::memory_order_relaxed)) cached_.swap(m);
        }
        return m;
    }
    // Empties the slot; returns the dropped record for the caller to release.
    [[nodiscard]] FieldMetaRef take() const noexcept {
        py::MutexLock lock(mutex_);
        generation_.fetch_add(1, std::memory_order_release);
        return cached_.take();
    }

    // The cached record without the lock, for the cycle collector of another
    // holder (every other thread is stopped then).
    [[nodiscard]] const FieldMeta* cached_unlocked() const noexcept { return cached_.get().get(); }

    // The record for the cycle collector, which counts it while this slot
    // is its only holder.
    template <class V>
    void visit(V&& v) {
        v(cached_);
    }

private:
    // The slot is a cache: reading or replacing it does not change the field.
    mutable PyMutex mutex_{};
    mutable py::SharedRecord<FieldMeta> cached_;
    mutable std::atomic<std::uint64_t> generation_{0};
};

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

    template <class V>
    void visit(V&& v) {
        FieldMembers::visit(v);
        meta.visit(v);
    }
};

}  // namespace vesk::typing::field
