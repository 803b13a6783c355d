// Cheap sharing of long-lived objects that many threads hand to Python code
// or store into new objects (a field or the missing value in every update
// record of its class).
//
// On the free-threaded build an object's shared count sits on one cache
// line that every thread counting it writes atomically; readers of the
// object's header miss on that line too.
// - Deferred counting: the interpreter does not count its own stack
//   references to the object (a call's arguments, a loaded name); a
//   reference stored into another object is still counted. The price: the
//   object is freed by the cycle collector's next pass rather than when its
//   last reference goes.
// - Kept for good: the object is never counted at all (the interpreter's
//   immortal objects, as None is), and never freed. Only for an object this
//   module keeps for the life of the process anyway, made just now so that
//   no other thread counts it while it changes.
// With the global lock both compile to nothing and change nothing: a count
// there is a plain increment.
//
// Fields and specs are deferred at birth, never kept for good: they are
// made per call as often as per program (`List(Int()).apply(x)` in a
// function), and each belongs to its caller, who decides how long it lives.
// Deferring is the one lengthening allowed: a dropped spec or field is freed
// by the collector's next pass instead of at once.
#pragma once

#include "py/python.hpp"

#if defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030F0000
// The interpreter's own (exported, not in the public headers): what it does
// to the objects it keeps for good.
extern "C" PyAPI_FUNC(void) _Py_SetImmortal(PyObject* op);
#endif

namespace vesk::py {

inline void defer_counting([[maybe_unused]] PyObject* op) noexcept {
#ifdef Py_GIL_DISABLED
    // Answers 0 for an object already deferred or of a type the collector
    // does not track; either way nothing is to be done.
    (void)PyUnstable_Object_EnableDeferredRefcount(op);
#endif
}

// `fresh`, just made and not yet seen by another thread, kept for good.
inline void keep_for_good([[maybe_unused]] PyObject* fresh) noexcept {
#if defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030F0000
    _Py_SetImmortal(fresh);
#else
    defer_counting(fresh);
#endif
}

}  // namespace vesk::py
