// Steps that must not fail because another thread holds a node for a moment.
//
// A node's own state (its parent, its path, its flags) is held only for a few
// loads and stores at a time, never while Python code runs: another thread's
// cycle walk, path read or stamping may hold it just as a write needs it, and
// the borrow flag refuses such a request at once. A write may take that
// refusal as its outcome up to its store. But a step that completes a stored
// write (re-pathing what it stored) or undoes a failed one (giving back a
// child's freedom, attaching a let-go child again) must happen, or the tree
// would name a parent or path that is not so: such a step is run again while
// its only failure is that refusal, for a bounded time.
#pragma once

#include "py/ref.hpp"

#include <type_traits>

namespace vesk::symbolic {

// Whether the pending exception is the binding layer's refusal of a hold
// ("Already borrowed" or "Already mutably borrowed") that this thread
// raised last, not a RuntimeError of the same text from Python code.
[[nodiscard]] bool hold_refusal_pending() noexcept;

// After `step` failed once: runs it again while its only failure is a hold
// refusal, for as long as a momentary hold may last. 0 or -1.
[[nodiscard]] int retry_past_momentary_holds(int (*step)(void* ctx), void* ctx);

// Runs `step()` (0 or -1) until it succeeds, fails otherwise than by a hold
// refusal, or has been refused for longer than any momentary hold lasts.
// Most steps pass at once: the retrying is out of line.
template <class F>
[[nodiscard]] int past_momentary_holds(F&& step) {
    if (step() == 0) return 0;
    return retry_past_momentary_holds(
        [](void* ctx) { return (*static_cast<std::remove_reference_t<F>*>(ctx))(); },
        static_cast<void*>(&step));
}

}  // namespace vesk::symbolic
