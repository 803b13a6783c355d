// The two reads of a SymDict that the topology both containers share
// (topology.cpp) makes of a dictionary. They are declared here, below the
// dict room that defines them (dict/binding.cpp, dict/key_order.cpp), so the
// shared room never includes the rooms built on it.
#pragma once

#include "py/ref.hpp"

namespace vesk::symbolic::dict {

// The bound spec's `schema` for the assign-policy lookups: null when no
// spec is bound, it is None, or reading it failed (the error dropped).
[[nodiscard]] py::Ref policy_schema(PyObject* spec);
// A new list of (key, value) pairs in the dictionary's symbolic order.
[[nodiscard]] py::Ref items_list(PyObject* self);

}  // namespace vesk::symbolic::dict
