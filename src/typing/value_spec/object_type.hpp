// Object and Type: value specs whose values are instances of a class, or
// classes themselves.
//
// Object keeps the class it was given, or a forward reference for a class
// named by a string (the string stays the stored value type) or given as a
// forward-reference object. A forward reference is resolved at every use,
// through its `cls` attribute, and the class is never cached, so a spec made
// before the package registered the class follows it once it does.
//
// Type keeps its argument as given (a class, `typing.Any`, a generic alias
// or a string, with a forward reference for a string); its value type is
// `type` and values are checked through the bridge's `is_subclass`.
//
// Both classes are final. Errors: empty optional / null with an exception
// set; an uninstalled bridge is "typing bridge not installed".
#pragma once

#include "typing/value_spec/engine/build.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"

#include <optional>

namespace vesk::typing {

// The classes, built on first use (borrowed), or null with an exception set.
[[nodiscard]] PyTypeObject* object_type();
[[nodiscard]] PyTypeObject* type_type();

// The native constructors behind `__new__`, `X[...]` and `from_json`: each
// checks `t` in its own order, then builds the engine from `common`.
[[nodiscard]] std::optional<SpecEngine> object_new(PyObject* t, SpecCommon common);
// `common.transform` is dropped: a new Type spec has none.
[[nodiscard]] std::optional<SpecEngine> type_new(PyObject* t, SpecCommon common);

}  // namespace vesk::typing
