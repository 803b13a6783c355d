// Spec equality and compatibility, written once for every kind.
//
// The receiver is read natively (the caller holds it shared); the other
// object only through its Python attributes, by name, so a Python subclass
// or a pure-Python spec offering the same attributes takes part. Each kind's
// own rule is one line of the table in equality.cpp, in variant order.
//
// Both return 1 (true), 0 (false) or -1 with an exception set. Attributes
// of `other` that must be a bool or an integer and are not raise TypeError;
// every exception from Python code (attribute reads, `==`, nested
// `is_compatible`, the bridge) ends the call.
#pragma once

#include "typing/value_spec/engine/spec_engine.hpp"

namespace vesk::typing {

// `self == other`; `self` is the spec object holding `engine`.
[[nodiscard]] int spec_equal(const SpecEngine& engine, PyObject* self, PyObject* other);
// Whether `self` accepts everything `other` accepts.
[[nodiscard]] int spec_compatible(const SpecEngine& engine, PyObject* self, PyObject* other);

}  // namespace vesk::typing
