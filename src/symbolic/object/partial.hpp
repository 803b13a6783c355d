// The native partial test of symbolic objects, reached by the typing layer
// through the partial hook cell.
#pragma once

#include "hooks.hpp"

namespace vesk::symbolic::object {

hooks::Partial sym_partial_native(PyObject* value);

}  // namespace vesk::symbolic::object
