// Raising what one of the package's error factories made.
#pragma once

#include "py/python.hpp"

namespace vesk::symbolic {

// Raises `made`, the result of an error factory of the package: an exception
// instance as it is, an exception class called with no arguments, anything
// else as the interpreter's TypeError for raising a non-exception. Always
// returns null, so callers can `return raise_made(made);`.
std::nullptr_t raise_made(PyObject* made);

}  // namespace vesk::symbolic
