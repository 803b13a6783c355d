// HeldSlot: an immutable record an instance keeps in its State and replaces
// without taking its exclusive hold, so a writer that refreshes the record
// never refuses another thread's operation on the instance (a cache derived
// from the instance's state, for example).
//
// Readers load the record under the instance's shared hold and use it until
// they release the hold. A publisher swaps a new record in and frees the ones
// it replaced once the instance's borrow flag shows no holder
// (BorrowFlag::unheld); until then they wait, chained behind the current one.
// The
// records a publish frees are deleted by the publisher after its small lock,
// outside every hold: releasing their references may run finalisers.
//
// `T` derives from `HeldRecord<T>` and lists its references for the cycle
// collector with `template <class V> void visit(V&& v)`, which the State's
// own `visit` reaches through the slot's. The slot itself is two words: a
// State that keeps one on every instance stays small.
#pragma once

#include "py/borrow.hpp"
#include "py/mutex.hpp"

#include <atomic>
#include <memory>

namespace vesk::py {

template <class T>
struct HeldRecord {
    // The records this one replaced that wait to be freed, newest first.
    T* retired_next = nullptr;
};

template <class T>
class HeldSlot {
public:
    HeldSlot() noexcept = default;
    HeldSlot(const HeldSlot&) = delete;
    HeldSlot& operator=(const HeldSlot&) = delete;
    ~HeldSlot() { free_chain(current_.load(std::memory_order_relaxed)); }

    // The published record or null; read under the instance's shared hold.
    [[nodiscard]] const T* get() const noexcept { return current_.load(std::memory_order_seq_cst); }

    // Publishes `fresh` (owned from here on); `flag` is the instance's borrow
    // flag. Called with no hold of the instance.
    void publish(std::unique_ptr<T> fresh, const BorrowFlag& flag) {
        T* freed = nullptr;
        {
            // Publishers take turns; readers never wait.
            MutexLock lock(mutex_);
            T* record = fresh.release();
            record->retired_next = current_.exchange(record, std::memory_order_seq_cst);
            if (flag.unheld()) freed = std::exchange(record->retired_next, nullptr);
        }
        free_chain(freed);
    }

    template <class V>
    void visit(V&& v) {
        for (T* r = current_.load(std::memory_order_relaxed); r; r = r->retired_next) r->visit(v);
    }

private:
    static void free_chain(T* r) noexcept {
        while (r) delete std::exchange(r, r->retired_next);
    }

    std::atomic<T*> current_{nullptr};  // its `retired_next` chain is guarded by `mutex_`
    SpinMutex mutex_;
};

}  // namespace vesk::py
