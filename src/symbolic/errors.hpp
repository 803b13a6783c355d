// Raising the symbolic layers' errors: what one of the package's error
// factories made, and exceptions carrying one object as their argument.
#pragma once

#include "py/python.hpp"

namespace vesk::symbolic {

// Raises `made`, the result of an error factory of the package: an exception
// instance as it is, an exception class called with no arguments, anything
// else as the interpreter's TypeError for raising a non-exception. Always
// returns null, so callers can `return raise_made(made);`.
std::nullptr_t raise_made(PyObject* made);

// Raises `type(arg)`: an exception whose one argument is `arg`, whatever its
// class (a tuple stays one argument).
void raise_with_arg(PyObject* type, PyObject* arg);

}  // namespace vesk::symbolic
