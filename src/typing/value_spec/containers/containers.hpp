// The container spec classes List and Tuple: their type objects and the
// native constructors behind `__new__` and the type-argument forms.
//
// Both hold their element specs inside element Fields made through the
// typing bridge's `field_cls` (keyed by ListKey / TupleKey), so everything
// that walks a container spec (formatting, strictness, copies) meets one
// shape. The constructors take the kind arguments and the common options
// already converted, check them in the kind's order and end in `build_base`;
// they return the finished engine or nothing with the first error set.
//
// The classes are final heap types deriving from SpecBase, built on first
// use and shared process-wide; each accessor returns the type (borrowed) or
// null with an exception set.
#pragma once

#include "typing/value_spec/containers/size_rules.hpp"
#include "typing/value_spec/engine/build.hpp"

#include <optional>

namespace vesk::typing::containers {

[[nodiscard]] PyTypeObject* list_type();
[[nodiscard]] PyTypeObject* tuple_type();
[[nodiscard]] PyTypeObject* dict_type();

struct ListArgs {
    PyObject* element_value = nullptr;  // an annotation or a spec (borrowed)
    SizeArgs sizes;
    Tri symbolic = Tri::Unset;
    bool auto_wrap = true;
};

// List: aliases folded, the element spec from its annotation, the sizes, the
// element Field keyed by ListKey(min, max), then the build.
[[nodiscard]] std::optional<SpecEngine> list_new(ListArgs args, SpecCommon common);

// Whether an empty list of positions builds the empty fixed Tuple. Only
// the JSON reader accepts it: that is the form a zero-length fixed Tuple
// (made from equal bounds of 0) writes.
enum class EmptyFixed : bool { Refuse, Accept };

// Tuple: a list or tuple (subclasses included) of annotations is the fixed
// form, one position per item (an empty one is refused unless `empty` says
// otherwise); any other object the variable form, whose equal bounds make a
// fixed form of that many shared positions (at most kMaxFixedPositions).
[[nodiscard]] std::optional<SpecEngine> tuple_new(PyObject* element_values, SizeArgs sizes,
                                                  SpecCommon common,
                                                  EmptyFixed empty = EmptyFixed::Refuse);

// The element value specs as the text and JSON forms show them: a new list
// of each position's `value` for a fixed form, the one element's `value`
// for a variable form. Call it under a shared hold of the spec.
[[nodiscard]] py::Ref tuple_element_values(const TupleKind& tuple);

// Dict: the schema resolved from `schema` (borrowed; null or None = none),
// the open str value spec derived from it, then the build and the
// factory-only default: a factory given without a default over a schema is
// replaced by the schema's application to an empty dict.
[[nodiscard]] std::optional<SpecEngine> dict_new(PyObject* schema, Tri symbolic, bool auto_wrap,
                                                 SpecCommon common);

}  // namespace vesk::typing::containers
