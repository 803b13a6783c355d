// SpecBase: the Python-visible base class of every value spec, carrying the
// shared surface (getters, apply, the mutators, call, `|`, text forms). The
// class itself is declared by `spec_base_type()` (engine/spec_engine.hpp).
//
// Mutations. Every mutator takes the spec's exclusive hold with one
// compare-and-set and never waits; when any other operation holds the spec
// (an apply on any thread, a transform or `custom_apply` running inside the
// spec's own apply, another mutator) it fails with the RuntimeError
// `kMutationRefused` and the spec is unchanged. Work that runs Python code on
// a new value (applying a new default) is done under a shared hold first,
// then stored under the exclusive one.
#pragma once

#include "typing/value_spec/engine/spec_engine.hpp"

namespace vesk::typing {

inline constexpr const char kMutationRefused[] =
    "Cannot mutate this object while another operation holds it (e.g. a re-entrant call from "
    "`custom_apply` / a transform during its own `apply`): mutate it after `apply` returns.";

// Takes `hold` for a mutation; false with the RuntimeError above when the
// spec is held in any way. For kind-specific mutators (`Any.annotate`).
[[nodiscard]] bool begin_mutation(py::ExclusiveBorrow& hold);

}  // namespace vesk::typing
