// A per-object cache slot: an owning reference filled at most once without a
// lock. Racing fillers each compute a value; the first published one stays
// and the others are dropped, so readers never wait and never see a torn or
// changing value. The owner releases it when it is destroyed.
#pragma once

#include "py/ref.hpp"

#include <atomic>

namespace vesk::py {

class OnceSlot {
public:
    OnceSlot() noexcept = default;
    OnceSlot(const OnceSlot&) = delete;
    OnceSlot& operator=(const OnceSlot&) = delete;
    // The owner is being destroyed, so no other thread can publish meanwhile:
    // a plain load does (an exchange would cost every freed owner a locked
    // instruction).
    ~OnceSlot() { Ref dropped = Ref::steal(value_.load(std::memory_order_acquire)); }

    // Borrowed; null when not filled yet.
    [[nodiscard]] PyObject* get() const noexcept { return value_.load(std::memory_order_acquire); }

    // Publishes `value` unless the slot is already filled, and returns the
    // slot's value (borrowed). Null `value` (an error) leaves the slot alone.
    PyObject* publish(Ref value) noexcept {
        if (!value) return nullptr;
        PyObject* expected = nullptr;
        if (value_.compare_exchange_strong(expected, value.get(), std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
            return value.release();
        }
        return expected;  // another thread won; `value` is dropped
    }

    // Only for the owner's destructor, when no other thread can read it.
    void clear() noexcept {
        Ref dropped = Ref::steal(value_.exchange(nullptr, std::memory_order_acq_rel));
    }

private:
    std::atomic<PyObject*> value_{nullptr};
};

}  // namespace vesk::py
