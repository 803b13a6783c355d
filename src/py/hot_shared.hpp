// Long-lived objects that many threads keep counting, kept for good once
// they prove to be such.
//
// On the free-threaded build a thread that counts an object another thread
// made updates the object's shared count, on one cache line every such
// thread writes: a class's field named in the update record of every write
// to its objects, a spec every container bound to it holds, the root path
// every root node holds. Threads writing each their own objects then meet on
// it at every write. An object kept for good (immortal, as None is) is
// never counted; but only an object no other thread can count at that
// moment can be made so, and fields and specs are made per call as often as
// per program, so none is kept at birth (py/deferred.hpp). Instead each
// thread tells, at the points where it is about to count such an object it
// does not own, and an object that two threads have each met that way
// kHotUses times is kept for good with every other thread stopped at a safe
// point (as the collector and a fork stop them), where no count of it is
// being updated. An object one thread alone counts costs no meeting, and is
// left as it is.
// The price: an object so kept is never freed, with what it holds; it is
// one that threads share over and over, which a program keeps anyway.
//
// Call only where the thread holds no critical section, borrow flag or lock
// of this module (stopping the other threads may detach this one); with the
// global lock, and for an object this thread made, it is a no-op.
#pragma once

#include "py/python.hpp"

#include <cstdint>

namespace vesk::py {

inline constexpr std::uint32_t kHotUses = 4096;

namespace detail {
void count_foreign_use(PyObject* op) noexcept;
}  // namespace detail

// `op`, borrowed from an owner that keeps it alive, is about to be counted
// by this thread.
inline void note_shared_use([[maybe_unused]] PyObject* op) noexcept {
#ifdef Py_GIL_DISABLED
    if (!op || _Py_IsImmortal(op) || _Py_IsOwnedByCurrentThread(op)) return;
    detail::count_foreign_use(op);
#endif
}

}  // namespace vesk::py
