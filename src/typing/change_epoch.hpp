// The change epoch: a process-wide count of the changes to typing state
// (a spec's engine, a schema's fields or metadata, a field's record) that a
// compiled acceptance rule may have been derived from.
//
// A rule compiled from nested state (a List's rule holds its element spec's
// rule) cannot be dropped by a change to that nested state, which knows
// nothing of who composed it. So a rule is tagged with the epoch read before
// its derivation began and used only while the epoch still reads the same:
// any change anywhere makes every cached rule compile again once. Changes are
// rare next to applies, and a reader pays one atomic load per container, never
// a write to shared memory.
#pragma once

#include <atomic>
#include <cstdint>

namespace vesk::typing {

inline std::atomic<std::uint64_t> CHANGE_EPOCH{1};

// The epoch now; read before the state a rule is derived from.
[[nodiscard]] inline std::uint64_t change_epoch() noexcept {
    return CHANGE_EPOCH.load(std::memory_order_seq_cst);
}

// Called after every change that may feed a rule.
inline void note_change() noexcept { CHANGE_EPOCH.fetch_add(1, std::memory_order_seq_cst); }

}  // namespace vesk::typing
