// The two validation roads of a symbolic write (store_field.hpp), used by
// its store step.
#pragma once

#include "py/ref.hpp"
#include "symbolic/object/writes/store_field.hpp"

namespace vesk::symbolic::object {

struct ObjectBridge;

// The key path of the field `name`: the object bridge's
// `keypath_cls(name, path or None)`; built natively when that class is the
// native KeyPath itself.
[[nodiscard]] py::Ref field_key_path(const ObjectBridge& b, PyObject* name, const WriteCtx& ctx);

enum class FastRoad : unsigned char { Accepted, General, Error };

// The fast road for `value` under the field `name`: Accepted with the value
// to store in `out`; General when the road does not apply or the funnel
// leaves the value undecided; Error with the funnel's exception.
[[nodiscard]] FastRoad fast_road(PyObject* name, PyObject* value, const WriteCtx& ctx,
                                 py::Ref& out);

// The general road: the value to store, or null. `is_default` says that
// `value` is a constant key's default, which is not wrapped.
[[nodiscard]] py::Ref general_road(PyObject* obj, PyObject* name, PyObject* value,
                                   PyObject* field, const WriteCtx& ctx, bool is_default);

}  // namespace vesk::symbolic::object
