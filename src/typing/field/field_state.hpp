// The native state of a Field, shared by the files that implement it.
#pragma once

#include "py/borrow.hpp"
#include "py/mutex.hpp"
#include "py/ref.hpp"
#include "py/type.hpp"
#include "typing/field/field_meta.hpp"

#include <cstdint>
#include <utility>

namespace vesk::typing::field {

// The cached record of one field. The lock guards only the slot; records
// taken out of it are released by the caller after unlocking, since the last
// release of a record drops Python objects and may run finalisers.
class MetaSlot {
public:
    // The cached record (a new reference), or null.
    [[nodiscard]] FieldMetaRef load() noexcept {
        py::MutexLock lock(mutex_);
        return cached_;
    }
    // The number of invalidations so far; a record built from state read
    // after this value is current only if it has not moved on.
    [[nodiscard]] std::uint64_t generation() noexcept {
        py::MutexLock lock(mutex_);
        return generation_;
    }
    // Caches `m` unless the field changed since `generation` was read, so a
    // build that raced a change never outlives it. Returns the record that
    // was replaced, for the caller to release.
    [[nodiscard]] FieldMetaRef store(FieldMetaRef m, std::uint64_t generation) noexcept {
        {
            py::MutexLock lock(mutex_);
            if (generation == generation_) std::swap(cached_, m);
        }
        return m;
    }
    // Empties the slot; returns the dropped record for the caller to release.
    [[nodiscard]] FieldMetaRef take() noexcept {
        py::MutexLock lock(mutex_);
        ++generation_;
        return std::exchange(cached_, nullptr);
    }
    // For the cycle collector, which runs with every other thread stopped (or
    // holding the global lock): the cached record when this slot is its only
    // holder, so objects it holds are counted once, by this field alone.
    [[nodiscard]] const FieldMeta* sole_record_unlocked() const noexcept {
        return cached_ && cached_.use_count() == 1 ? cached_.get() : nullptr;
    }

private:
    PyMutex mutex_{};
    FieldMetaRef cached_;
    std::uint64_t generation_ = 0;
};

struct FieldState {
    py::Ref key;          // a key spec (any object once set through `_key`)
    py::Ref value;        // the value spec
    py::Ref description;  // None when absent
    py::Ref origin;       // None when absent
    py::Ref metadata;     // a dict unless set through `_metadata`
    py::Ref validator;    // None when absent
    py::Ref alias;        // None when absent
    py::Ref assign;       // a str, or null for no declared policy
    Tri enable_repr = Tri::Unset;
    Tri enable_compare = Tri::Unset;
    Tri enable_hash = Tri::Unset;
    bool enable_init = true;
    Tri enable_clone = Tri::Unset;
    Tri enable_validation = Tri::Unset;
    MetaSlot meta;

    // The owned references; the class's own traverse adds the cached record.
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

}  // namespace vesk::typing::field
