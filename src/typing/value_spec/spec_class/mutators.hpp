// What the kinds' `noneable` entries share with the mutators of SpecBase.
#pragma once

#include "typing/value_spec/engine/build.hpp"

namespace vesk::typing {

// Stores `value` as the new default without applying it (the spec is held
// exclusively by the caller): a missing value becomes the one the kind
// derives, or the canonical one. 0 or -1.
[[nodiscard]] int store_unapplied(SpecEngine& engine, PyObject* value, Detached& detached);

}  // namespace vesk::typing
