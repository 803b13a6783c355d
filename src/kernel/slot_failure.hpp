// What counts as an internal failure inside a native type slot: a broken
// contract (the binding layer's internal errors, such as a bridge the
// package never installed). The slot reports it as RuntimeError "panic in
// native slot". A borrow refusal (another thread's hold or write met) is no
// internal failure: it reaches the caller as the borrow error, as it does
// outside a slot, and a Python error of the slot's body passes through
// unchanged.
#pragma once

#include "py/errors.hpp"

namespace vesk::kernel {

// Whether the pending exception is an internal failure.
[[nodiscard]] bool internal_failure_pending() noexcept;

// Whether the pending exception is the borrow refusal: the binding layer's
// plain RuntimeError "Already borrowed" / "Already mutably borrowed"
// (exactly that class, exactly that text).
[[nodiscard]] bool borrow_refusal_pending() noexcept;

}  // namespace vesk::kernel
