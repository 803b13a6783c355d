// What a spec says of itself as a whole, for the fast paths that pick a road
// per field: its leaf types and the probes of SpecBase, answered from the
// engine's fields and its kind's table (`leaf`, `descends`, `constrains`)
// without allocating or calling Python. Call them under a shared hold of the
// spec.
#pragma once

#include "typing/value_spec/engine/kind_ops.hpp"

namespace vesk::typing {

// The value type whose exact instances the spec accepts as they are, with no
// Python call: a plain spec (kind_ops.hpp `Leaf::Exact`: Bool, Str without a
// regex, Number without bounds, Any) with a value type. Null otherwise
// (borrowed).
[[nodiscard]] PyObject* native_exact_leaf(const SpecEngine& engine) noexcept;
// The value type of a plain constrained leaf (`Leaf::Checked`: Str with a
// regex, Number with a bound, Enum) whose exact instances are accepted after
// the native `validate`, when it is exactly int, float, str or bool. Null
// otherwise (borrowed).
[[nodiscard]] PyObject* native_checked_leaf(const SpecEngine& engine) noexcept;
// `validate` checks nothing for this spec (a List's size check aside).
[[nodiscard]] bool validate_is_noop(const SpecEngine& engine) noexcept;

}  // namespace vesk::typing
