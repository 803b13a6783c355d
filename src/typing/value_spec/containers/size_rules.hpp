// The size arguments that List and the variable form of Tuple share: the
// alias spellings, the "size" shorthand and the bound checks, and the limit
// on how many positions a fixed Tuple may be built with from equal bounds.
//
// Every function returns false with a ValueError set (or the binding
// layer's conversion error naming the parameter) and leaves `out` partly
// filled; nothing here runs user code except the int conversions.
#pragma once

#include "py/python.hpp"

#include <cstdint>
#include <optional>

namespace vesk::typing::containers {

// A fixed Tuple made from equal bounds materialises one field per position,
// so the count is capped: more positions than this are refused with
// ValueError rather than built. A list of positions given explicitly is not
// limited (the caller already holds that many objects).
inline constexpr std::int64_t kMaxFixedPositions = 1'000'000;

// The five size arguments as given; empty = omitted or None.
struct SizeArgs {
    std::optional<std::int64_t> min_size;
    std::optional<std::int64_t> max_size;
    std::optional<std::int64_t> size;
    std::optional<std::int64_t> min_length;
    std::optional<std::int64_t> max_length;
};

// Converts one optional size argument: null or None leaves `out` empty;
// anything else must be an int that fits 64 signed bits.
[[nodiscard]] bool read_size_arg(const char* name, PyObject* value,
                                 std::optional<std::int64_t>& out);

// Folds `min_length` into `min_size` and `max_length` into `max_size`; a
// pair given twice is refused, the minimum pair first. `label` names the
// kind in the message ("List", "Tuple").
[[nodiscard]] bool fold_size_aliases(const char* label, SizeArgs& args);

// Whether any of size/min_size/max_size is given (after folding).
[[nodiscard]] inline bool any_size_given(const SizeArgs& args) noexcept {
    return args.size || args.min_size || args.max_size;
}

struct Sizes {
    std::int64_t min = 0;
    std::optional<std::int64_t> max;
};

// The bounds from folded arguments: `size` alone sets both; an absent
// minimum is 0; a given negative minimum and a maximum below the minimum are
// refused. The texts name "List" for both kinds.
[[nodiscard]] bool resolve_sizes(const SizeArgs& args, Sizes& out);

// A new int for a bound, or None for an absent one (for getters and items).
[[nodiscard]] PyObject* size_object(std::optional<std::int64_t> value);

}  // namespace vesk::typing::containers
