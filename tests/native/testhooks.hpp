// The parts of the test-only extension `vesk_core._native_testhooks`, each
// binding its functions and types into the module.
#pragma once

#include "py/ref.hpp"

namespace vesk::testhooks {

// Tally: a counter whose methods declare each kind of hold (hold_hooks.cpp).
[[nodiscard]] int register_holds(PyObject* module);
// TaggedObject, TaggedDict, TaggedList and the conversions of values
// (base_hooks.cpp).
[[nodiscard]] int register_bases(PyObject* module);
// RecordHolder: instances sharing an immutable record (record_hooks.cpp).
[[nodiscard]] int register_records(PyObject* module);

}  // namespace vesk::testhooks
