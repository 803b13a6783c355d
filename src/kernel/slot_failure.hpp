// What counts as an internal failure inside a native type slot: a broken
// contract (the binding layer's internal errors, such as a bridge the
// package never installed) and a conflicting borrow of a native instance.
// The slot reports either as RuntimeError "panic in native slot"; a Python
// error of the slot's body passes through unchanged.
#pragma once

#include "py/errors.hpp"

namespace vesk::kernel {

// Whether the pending exception is an internal failure. A borrow conflict
// is the binding layer's plain RuntimeError "Already borrowed" / "Already
// mutably borrowed" (exactly that class, exactly that text).
[[nodiscard]] bool internal_failure_pending() noexcept;

// Replaces a pending internal failure (or a failure without an exception)
// with "panic in native slot"; any other error is left as it is.
void convert_internal_failure() noexcept;

}  // namespace vesk::kernel
