// Per-thread flag scopes: the package forces a symbolic behaviour for the
// code running inside a context manager on the current thread; the symbolic
// write paths read the forced value here without calling into Python.
#pragma once

#include "py/python.hpp"

#include <cstdint>
#include <optional>

namespace vesk::flags {

enum class FlagId : std::uint8_t {
    Sealed = 0,
    AccessorWritable = 1,
    AllowPartial = 2,
    OriginTracking = 3,
    ChangeNotification = 4,
};
inline constexpr std::uint8_t kFlagCount = 5;

// One cell's state, encoded as stored.
enum class Cell : std::uint8_t { False = 0, True = 1, None = 2, Absent = 3 };

// The current thread's cell for `id`.
[[nodiscard]] Cell read(FlagId id) noexcept;

// For sealed, accessor_writable and allow_partial: the forced value, or no
// value when the object's own flag decides (None and absent both defer).
[[nodiscard]] std::optional<bool> forced(FlagId id) noexcept;
// Every cell of the current thread read at once, for a caller that needs
// several (one thread-local access instead of one per flag).
struct Snapshot {
    Cell cells[kFlagCount];
    // As `forced` above, for the cell as it was when read.
    [[nodiscard]] std::optional<bool> forced(FlagId id) const noexcept {
        const Cell c = cells[static_cast<std::uint8_t>(id)];
        if (c == Cell::False || c == Cell::True) return c == Cell::True;
        return std::nullopt;
    }
};
[[nodiscard]] Snapshot snapshot() noexcept;
// Only an explicit True turns origin tracking on.
[[nodiscard]] bool origin_tracking_on() noexcept;
// Only an explicit False suppresses change notifications.
[[nodiscard]] bool notifications_suppressed() noexcept;

}  // namespace vesk::flags
