// Deferred reference counting for long-lived objects that many threads
// hand to Python code (a field in every update record of its class).
//
// On the free-threaded build the interpreter does not count its own stack
// references to such an object (a call's arguments, a loaded name), so
// passing it to a Python function touches no count that every thread
// shares; a reference stored into another object is still counted. The
// price: the object is freed by the cycle collector's next pass rather than
// when its last reference goes. With the global lock this compiles to
// nothing and changes nothing.
#pragma once

#include "py/python.hpp"

namespace vesk::py {

inline void defer_counting([[maybe_unused]] PyObject* op) noexcept {
#ifdef Py_GIL_DISABLED
    // Answers 0 for an object already deferred or of a type the collector
    // does not track; either way nothing is to be done.
    (void)PyUnstable_Object_EnableDeferredRefcount(op);
#endif
}

}  // namespace vesk::py
