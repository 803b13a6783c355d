// Process-wide cells written at most once (lazy.hpp lists every kind of
// once-made value). The first writer wins; later writers are ignored.
// Readers use an acquire load and never block, so a cell can be read on any
// thread without a lock.
#pragma once

#include "py/ref.hpp"

#include <atomic>

namespace vesk::py {

// A cell holding a plain pointer (a native function, a static table).
template <class T>
class OnceCell {
public:
    [[nodiscard]] T* get() const noexcept { return value_.load(std::memory_order_acquire); }
    [[nodiscard]] bool is_set() const noexcept { return get() != nullptr; }
    // Returns true when this call stored the value.
    bool set(T* value) noexcept {
        T* expected = nullptr;
        return value_.compare_exchange_strong(expected, value, std::memory_order_acq_rel,
                                              std::memory_order_acquire);
    }

private:
    std::atomic<T*> value_{nullptr};
};

// A cell holding a strong reference to a Python object, kept for the life of
// the process (never released, so a borrowed pointer from `get` stays valid).
class ObjectCell {
public:
    [[nodiscard]] PyObject* get() const noexcept { return cell_.get(); }
    [[nodiscard]] bool is_set() const noexcept { return cell_.is_set(); }
    // Stores `value` unless the cell is already set; returns true when stored.
    bool set(Ref value) noexcept {
        if (!value || !cell_.set(value.get())) return false;
        (void)value.release();  // the cell owns it now
        return true;
    }
    // Returns the stored object, building it with `make` (a callable returning
    // Ref, null with an exception set on failure) when the cell is empty.
    // Concurrent first users may each build one; one wins, the rest are dropped.
    template <class Make>
    [[nodiscard]] PyObject* get_or_init(Make&& make) {
        if (PyObject* v = get()) return v;
        Ref made = make();
        if (!made) return nullptr;
        set(std::move(made));
        return get();
    }

private:
    OnceCell<PyObject> cell_;
};

}  // namespace vesk::py
