// Whether a field object carries a user validator, read through its Python
// attribute so that any field object serves.
#pragma once

#include "py/python.hpp"

namespace vesk::typing::field {

// 1 when the field's `validator` attribute is present and not None, 0 when
// it is absent or None, -1 when reading it failed otherwise.
[[nodiscard]] int field_has_validator(PyObject* field);

}  // namespace vesk::typing::field
