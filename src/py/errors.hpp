// Error conventions at the boundary with the interpreter.
//
// Native code reports failure the CPython way: null or -1 with an exception
// set. On top of that, internal errors: a contract violation by the calling
// package (a bridge never installed, ...), raised as RuntimeError with a
// message naming it. Inside a slot entered through `panic_entry` (entry.hpp)
// an internal error surfaces as RuntimeError "panic in native slot".
#pragma once

#include "py/ref.hpp"

namespace vesk::py {

// Raises the internal error `message` (e.g. "typing bridge not installed").
void raise_internal(const char* message);
// True when the pending exception was raised by `raise_internal`.
[[nodiscard]] bool internal_error_pending() noexcept;

// Replaces an internal error (or no error at all) with "panic in native slot".
void convert_to_slot_panic() noexcept;

}  // namespace vesk::py
