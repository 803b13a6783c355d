// Registration of the value-spec classes. The module binds them in an order
// that has Field and Schema between Type and Dict (their own steps, in
// typing/field/ and typing/schema/), so the classes come in two steps.
#pragma once

#include "py/python.hpp"

namespace vesk::typing::value_spec {

// SpecBase, Bool, Str, Int, Float, Enum, Any, List, Tuple, Union, Object,
// Type. Returns 0, or -1 with an exception set.
[[nodiscard]] int register_classes_before_field(PyObject* module);

// Dict, Callable, Functor. Returns 0, or -1 with an exception set.
[[nodiscard]] int register_classes_after_schema(PyObject* module);

}  // namespace vesk::typing::value_spec
