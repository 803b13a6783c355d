// `SymFieldGetter`: the getter the package installs in a real `property` for
// a field of a topology-aware class, so that reading the field is one native
// call: `SymFieldGetter(name)(obj)` answers `obj._topo_field(name)`.
#pragma once

#include "py/python.hpp"

namespace vesk::symbolic::object {

// The class, built on first use (borrowed); null with an exception set.
[[nodiscard]] PyTypeObject* sym_field_getter_type();

}  // namespace vesk::symbolic::object
