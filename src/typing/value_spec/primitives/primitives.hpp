// The scalar spec classes Bool, Str, Int, Float, Enum and Any: their type
// objects and the native constructors behind `__new__`, the type-argument
// forms and the JSON reader.
//
// Each native constructor takes the kind's own arguments and the common
// options already converted (kind_class.hpp), checks the kind's arguments
// in its own order, builds the payload and ends in `build_base`; it returns
// the finished engine, or nothing with the first error set. Arguments are
// borrowed unless passed by value.
//
// The classes are final heap types deriving from SpecBase, built on first
// use and shared process-wide; each accessor returns the type (borrowed) or
// null with an exception set.
#pragma once

#include "typing/value_spec/engine/build.hpp"
#include "typing/value_spec/primitives/number_bounds.hpp"

#include <optional>

namespace vesk::typing::primitives {

[[nodiscard]] PyTypeObject* bool_type();
[[nodiscard]] PyTypeObject* str_type();
[[nodiscard]] PyTypeObject* int_type();
[[nodiscard]] PyTypeObject* float_type();
[[nodiscard]] PyTypeObject* enum_type();
[[nodiscard]] PyTypeObject* any_type();

[[nodiscard]] std::optional<SpecEngine> bool_new(SpecCommon common);
// `regex` null: no pattern. A falsy regex means no pattern as well; any other
// is compiled once here with `re.compile`.
[[nodiscard]] std::optional<SpecEngine> str_new(PyObject* regex, SpecCommon common);
// Int (`is_float` false) and Float: the aliases folded, then `number_base`.
[[nodiscard]] std::optional<SpecEngine> number_new(bool is_float, const BoundArgs& bounds,
                                                   SpecCommon common);
// The order test of the two inclusive bounds, then the build.
[[nodiscard]] std::optional<SpecEngine> number_base(bool is_float, Bounds bounds,
                                                    SpecCommon common);
// `values` is kept by reference: the very list given.
[[nodiscard]] std::optional<SpecEngine> enum_new(PyObject* values, SpecCommon common);
// `annotation` is stored as given (the bridge's missing value for none).
// The spec is always noneable, whatever `common` says.
[[nodiscard]] std::optional<SpecEngine> any_new(PyObject* annotation, SpecCommon common);

}  // namespace vesk::typing::primitives
