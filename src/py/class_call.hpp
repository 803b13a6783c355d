// Calling a plain Python class from native code without the generic
// `type.__call__` road.
//
// `cls(*args)` on a class whose metaclass is `type`, whose `__new__` is
// `object.__new__` and whose `__init__` is a Python function is, by the
// interpreter's own rules, "allocate an instance with `object.__new__`, call
// `__init__(instance, *args)`, insist that it returned None". Calling the
// class through the C API gets there by packing the arguments into a tuple
// that `__init__`'s slot unpacks again; `call_class` takes the same steps
// with the arguments left on the caller's stack. Any other class (a
// metaclass, a native constructor, a native `__init__`) is called the
// generic way, so the answer and every error are the class call's own.
#pragma once

#include "py/ref.hpp"

#include <cstddef>

namespace vesk::py {

// `cls(args[1], ..., args[nargs])`; null with an exception set on failure.
// `args[0]` is a free slot in front of the arguments, where the new
// instance goes for its `__init__`.
[[nodiscard]] Ref call_class(PyObject* cls, PyObject** args, std::size_t nargs);

}  // namespace vesk::py
