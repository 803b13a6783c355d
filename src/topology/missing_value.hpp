// The placeholder for an unassigned symbolic field or an absent value: its
// class `MissingValue` and the canonical instance MISSING_VALUE.
#pragma once

#include "py/ref.hpp"

namespace vesk::topology {

// The class, built on first use; null with an exception set on failure.
[[nodiscard]] PyTypeObject* missing_value_type();

// The canonical instance (a borrowed pointer, alive for the whole process),
// made on first use; null with an exception set on failure.
[[nodiscard]] PyObject* missing_value();

// Binds `MissingValue`, then `missing_value_singleton`.
[[nodiscard]] int register_missing_value(PyObject* module);

}  // namespace vesk::topology
