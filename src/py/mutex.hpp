// Small native locks (a cache slot) and their RAII guard. Hold one only for a
// few loads and stores: never across a call into Python, and never while
// releasing a reference whose last release may run a finaliser.
//
// A waiter spins (yielding the processor now and then) and stays attached to
// the interpreter, where the interpreter's own lock would park it detached.
// That matters at a fork: the interpreter stops every thread at a safe point
// first, and a parked waiter counts as stopped; the interpreter's lock may
// have been handed to it while it sleeps, so in the child the lock would
// stay held forever by a thread that is gone. A spinning waiter is not at a
// safe point, so the fork waits until it has taken and released the lock.
#pragma once

#include "py/python.hpp"

#include <sched.h>

#include <atomic>

namespace vesk::py {

class SpinMutex {
public:
    SpinMutex() noexcept = default;
    SpinMutex(const SpinMutex&) = delete;
    SpinMutex& operator=(const SpinMutex&) = delete;

    void lock() noexcept {
        for (;;) {
            if (!locked_.exchange(true, std::memory_order_acquire)) return;
            for (int spins = 0; locked_.load(std::memory_order_relaxed); ++spins)
                if (spins >= 64) {
                    (void)sched_yield();
                    spins = 0;
                }
        }
    }
    void unlock() noexcept { locked_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> locked_{false};
};

class MutexLock {
public:
    explicit MutexLock(SpinMutex& mutex) noexcept : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() { mutex_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    SpinMutex& mutex_;
};

}  // namespace vesk::py
