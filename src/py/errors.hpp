// Error conventions at the boundary with the interpreter.
//
// Native code reports failure the CPython way: null or -1 with an exception
// set. On top of that, internal errors: a contract violation by the calling
// package (a bridge never installed, ...), raised as RuntimeError with a
// message naming it. Inside a slot entered through `panic_entry` (entry.hpp)
// an internal error surfaces as RuntimeError "panic in native slot".
#pragma once

#include "py/ref.hpp"

#include <exception>
#include <new>

namespace vesk::py {

// Raises the internal error `message` (e.g. "typing bridge not installed").
void raise_internal(const char* message);
// True when the pending exception was raised by `raise_internal`.
[[nodiscard]] bool internal_error_pending() noexcept;

// Replaces an internal error (or no error at all) with "panic in native slot".
void convert_to_slot_panic() noexcept;

// --- previous guards, kept until every caller is ported -------------------
template <class R, class Body>
[[nodiscard]] R slot_guard(R failure, Body&& body) noexcept {
    try {
        R result = body();
        if (result == failure) convert_to_slot_panic();
        return result;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        convert_to_slot_panic();
    }
    return failure;
}
template <class R, class Body>
[[nodiscard]] R call_guard(R failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "internal error in native code");
    }
    return failure;
}

}  // namespace vesk::py
