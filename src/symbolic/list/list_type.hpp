// The class `SymList`: the symbolic list, a subclass of the built-in list
// whose own items are its storage, with the container state of
// container/state.hpp after it.
#pragma once

#include "py/python.hpp"

namespace vesk::symbolic {

// The class, built on first use and shared process-wide (borrowed); null
// with an exception set when building it failed.
[[nodiscard]] PyTypeObject* sym_list_type();

// Whether `obj` is a SymList (subclasses included). Never fails; false
// before the class exists, since no instance can.
[[nodiscard]] bool is_sym_list(PyObject* obj) noexcept;

}  // namespace vesk::symbolic
