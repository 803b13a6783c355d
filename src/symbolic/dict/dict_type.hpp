// The class `SymDict`: the symbolic dictionary, a subclass of the built-in
// dict whose own entries are its storage, with the container state of
// container/state.hpp after it.
#pragma once

#include "py/python.hpp"

namespace vesk::symbolic {

// The class, built on first use and shared process-wide (borrowed); null
// with an exception set when building it failed.
[[nodiscard]] PyTypeObject* sym_dict_type();

// Whether `obj` is a SymDict (subclasses included). Never fails; false
// before the class exists, since no instance can.
[[nodiscard]] bool is_sym_dict(PyObject* obj) noexcept;

}  // namespace vesk::symbolic
