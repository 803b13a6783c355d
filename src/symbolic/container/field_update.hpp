// The field update every symbolic container write reports, made the same
// way by SymDict and SymList: its key path under the container's path, and
// the five-value record built by the container bridge's `field_update_cls`.
#pragma once

#include "py/ref.hpp"
#include "symbolic/bridge.hpp"

#include <cstdint>

namespace vesk::symbolic {

// The key path of the list index `index` under `parent` (null or None for
// none): the same path `child_key_path` makes of the index as a Python int,
// made without one.
[[nodiscard]] py::Ref index_key_path(std::int64_t index, PyObject* parent);

// `field_update_cls(key_path, target, field, old, new)`; `field` null gives
// None.
[[nodiscard]] py::Ref make_field_update(const ContainerBridge& b, PyObject* key_path,
                                        PyObject* target, PyObject* field, PyObject* old,
                                        PyObject* value);

}  // namespace vesk::symbolic
