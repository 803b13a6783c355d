// Internals shared by the files that implement KeyPath.
#pragma once

#include "topology/key_path.hpp"

namespace vesk::topology {

// Destroys the keys and the path cache of a path being deallocated.
void destroy_key_path(KeyPathObject* self) noexcept;

// Binds `KeyPath` in the module.
[[nodiscard]] int register_key_path(PyObject* module);

}  // namespace vesk::topology
