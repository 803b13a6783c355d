// RAII over the interpreter's `PyMutex`, for small native locks (a cache
// slot). Hold one only for a few loads and stores: never across a call into
// Python, and never while releasing a reference whose last release may run
// a finaliser.
#pragma once

#include "py/python.hpp"

namespace vesk::py {

class MutexLock {
public:
    explicit MutexLock(PyMutex& mutex) noexcept : mutex_(mutex) { PyMutex_Lock(&mutex_); }
    ~MutexLock() { PyMutex_Unlock(&mutex_); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    PyMutex& mutex_;
};

}  // namespace vesk::py
