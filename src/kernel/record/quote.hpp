// Field names in record messages: in double quotes, with the characters
// that would make the message ambiguous or unreadable escaped.
#pragma once

#include "py/ref.hpp"

namespace vesk::kernel::record {

// `"name"`: quotes and backslashes escaped, \t \r \n \0 by name, any other
// unprintable character (a lone surrogate included) as \u{hex}. `name` is
// a str; null with an exception set when the text cannot be built.
[[nodiscard]] py::Ref quoted_name(PyObject* name);

}  // namespace vesk::kernel::record
