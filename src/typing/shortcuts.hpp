// A switch that turns every native shortcut off (the kinds' shortcut phase,
// the container fast paths, the funnel and the constant road's size test
// for extra keys), so that tests can compare each shortcut's answer with the
// full road on the very same input. It exists only in development builds,
// which define VESK_TEST_SEAMS; elsewhere it is a constant that costs
// nothing. It is set only through the test-only seams extension.
#pragma once

#ifdef VESK_TEST_SEAMS
#include <atomic>
#endif

namespace vesk::typing {

#ifdef VESK_TEST_SEAMS
extern std::atomic<bool> SHORTCUTS_OFF;
[[nodiscard]] inline bool shortcuts_off() noexcept {
    return SHORTCUTS_OFF.load(std::memory_order_relaxed);
}
// A second switch keeps the shortcuts but turns off every element rule
// beyond the plain ones (exact class, object candidate, accept any, and a
// dict's constant keys of exact classes), and the native roads built on them
// (a list's proven prefix and element road, a dict's native conversion): what
// is left answers as the plain rules alone do, for tests to compare with.
extern std::atomic<bool> ADDED_RULES_OFF;
[[nodiscard]] inline bool added_rules_off() noexcept {
    return ADDED_RULES_OFF.load(std::memory_order_relaxed);
}
#else
[[nodiscard]] constexpr bool shortcuts_off() noexcept { return false; }
[[nodiscard]] constexpr bool added_rules_off() noexcept { return false; }
#endif

}  // namespace vesk::typing
