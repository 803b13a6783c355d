// The per-instance borrow flag guarding native state without waiting:
// readers share it, a writer takes it alone, and a conflicting request fails
// at once instead of blocking.
#pragma once

#include "py/python.hpp"

#include <atomic>
#include <cstdint>

namespace vesk::py {

class BorrowFlag {
public:
    // Shared borrows count up; an exclusive borrow is the value -1. Taking a
    // shared borrow is sequentially consistent, so a writer that publishes a
    // record and then finds the flag `unheld` knows that every later reader
    // sees its record (see `unheld`).
    [[nodiscard]] bool try_shared() noexcept {
        std::int32_t cur = state_.load(std::memory_order_relaxed);
        while (cur >= 0) {
            if (state_.compare_exchange_weak(cur, cur + 1, std::memory_order_seq_cst,
                                             std::memory_order_relaxed))
                return true;
        }
        return false;
    }
    void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

    [[nodiscard]] bool try_exclusive() noexcept {
        std::int32_t expected = 0;
        return state_.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

    [[nodiscard]] bool is_free() const noexcept {
        return state_.load(std::memory_order_acquire) == 0;
    }
    // The same, sequentially consistent: after a sequentially consistent
    // store of a pointer, true means no holder can still be reading what the
    // pointer held before (every holder since took its borrow after the
    // store and reads the new value).
    [[nodiscard]] bool unheld() const noexcept {
        return state_.load(std::memory_order_seq_cst) == 0;
    }

private:
    std::atomic<std::int32_t> state_{0};
};

inline void raise_mutably_borrowed() {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
}
inline void raise_borrowed() { PyErr_SetString(PyExc_RuntimeError, "Already borrowed"); }

// The refusal of a mutation that meets another holder, where the holder is
// typically the object's own operation calling back into Python.
inline constexpr const char kMutationRefused[] =
    "Cannot mutate this object while another operation holds it (e.g. a re-entrant call from "
    "`custom_apply` / a transform during its own `apply`): mutate it after `apply` returns.";
inline void raise_mutation_refused() { PyErr_SetString(PyExc_RuntimeError, kMutationRefused); }

// RAII borrows of a flag, for code that holds a bare flag. Declared types
// take their holds through hold.hpp instead. Usage:
//   SharedBorrow b(self->borrow);
//   if (!b.acquire()) return nullptr;            // raises "Already mutably borrowed"
//   if (!b.try_acquire()) return not_implemented();  // operator slots
class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag) noexcept : flag_(flag) {}
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() { if (held_) flag_.release_shared(); }

    [[nodiscard]] bool try_acquire() noexcept { return held_ = flag_.try_shared(); }
    [[nodiscard]] bool acquire() noexcept {
        if (try_acquire()) return true;
        raise_mutably_borrowed();
        return false;
    }

private:
    BorrowFlag& flag_;
    bool held_ = false;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag) noexcept : flag_(flag) {}
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() { if (held_) flag_.release_exclusive(); }

    [[nodiscard]] bool try_acquire() noexcept { return held_ = flag_.try_exclusive(); }
    [[nodiscard]] bool acquire() noexcept {
        if (try_acquire()) return true;
        raise_borrowed();
        return false;
    }

private:
    BorrowFlag& flag_;
    bool held_ = false;
};

}  // namespace vesk::py
