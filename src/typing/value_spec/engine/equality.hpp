// Spec equality and compatibility: the common steps, written once for every
// kind, then the kind's own rule from its table (`equal`, `compatible_first`,
// `compatible`, kind_ops.hpp).
//
// The receiver is read natively (the caller holds it shared); the other
// object only through its Python attributes, by name (by_name.hpp).
//
// Both return 1 (true), 0 (false) or -1 with an exception set. Every
// exception from Python code (attribute reads, `==`, nested `is_compatible`,
// the bridge) ends the call.
#pragma once

#include "typing/value_spec/engine/spec_engine.hpp"

namespace vesk::typing {

// `self == other`; `self` is the spec object holding `engine`.
[[nodiscard]] int spec_equal(const SpecEngine& engine, PyObject* self, PyObject* other);
// Whether `self` accepts everything `other` accepts.
[[nodiscard]] int spec_compatible(const SpecEngine& engine, PyObject* self, PyObject* other);

}  // namespace vesk::typing
