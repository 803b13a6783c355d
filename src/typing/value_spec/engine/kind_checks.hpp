// The driver's per-kind rules, for the kinds' entries in the dispatch table
// (kind_ops.hpp): the native shortcut of the scalar kinds and the constraint
// check of each kind that has one. A kind points its `shortcut` / `validate`
// entry at the function named for it; the driver reaches them only through
// the table.
//
// Every check raises ValueError with its sentence followed by
// " (path={path_text})"; the Callable check raises whatever the package's
// callback raises. Comparison, containment, `len`, `match` and `repr`
// failures pass through unchanged. Signatures and error conventions are
// those of `KindOps`.
#pragma once

#include "typing/value_spec/engine/kind_ops.hpp"

namespace vesk::typing {

// Bool, Str, Number, Enum and Any. Only a spec with a value type, not frozen
// and without transform decides anything:
//  - Bool, Str without regex, Number without bounds: a value of exactly the
//    value type is accepted as it is;
//  - Str with a regex, Number with a bound, Enum whose value type is exactly
//    int, float, str or bool: a value of exactly that class is validated
//    (the path text rendered just for it) and then accepted, or fails;
//  - Any: a value of exactly the value type, or a fast value (None, exact
//    scalars, exact dict and list), is accepted; a missing value or a value
//    whose class asks for custom typing is left to the full road; any other
//    value is accepted.
// Everything else is undecided. Never calls into Python except to validate.
[[nodiscard]] Shortcut scalar_shortcut(const SpecEngine& engine, PyObject* spec_obj,
                                       PyObject* value, ApplyOptions& options, py::Ref& out);

// Each check takes the root path (a path object, or null), rendered as text
// only for a failure.
// Str: the compiled expression's `match(value)` must not be None.
//   "String {repr(value)} does not match regular expression {repr(pattern)}."
[[nodiscard]] int validate_regex(const SpecEngine& engine, PyObject* value, PyObject* root_path);
// Number: both set bounds are compared (value < min, value > max), either true fails.
//   "Value {str(value)} is out of range (min={str(min) or None}, max={...})."
[[nodiscard]] int validate_range(const SpecEngine& engine, PyObject* value, PyObject* root_path);
// Enum: `value in values`.
//   "Value {repr(value)} is not in candidate list {str(values)}."
[[nodiscard]] int validate_candidates(const SpecEngine& engine, PyObject* value,
                                      PyObject* root_path);
// List: len(value) against min_size, then max_size when set.
//   "Length of list {repr(value)} is less than min size ({min})." / "... greater than max size ({max})."
[[nodiscard]] int validate_list_size(const SpecEngine& engine, PyObject* value,
                                     PyObject* root_path);
// Type: only once every forward reference is resolved; the bridge's
// `is_subclass(value, base)` with base the forward reference's `cls`, else `t`.
//   "{repr(value)} is not a subclass of {repr(base)}"
[[nodiscard]] int validate_subclass(const SpecEngine& engine, PyObject* value,
                                    PyObject* root_path);
// Callable: the bridge's `callable_validate(args, kw, returns or None,
// repr(spec), str(root_path), value)`; its result is ignored.
[[nodiscard]] int validate_signature(const SpecEngine& engine, PyObject* value,
                                     PyObject* root_path);

}  // namespace vesk::typing

namespace vesk::typing {

// --- forward references and value types, for the kinds' `forward_refs` and
// `value_type_obj` entries. Nested specs are asked by attribute name
// (`forward_refs`, `value`, `value_type`, `cls`), so Python specs count too.

// List: the element spec's own `forward_refs`.
[[nodiscard]] py::Ref list_forward_refs(const SpecEngine& engine);
// Tuple: a new set with the refs of the `value` of each element field.
[[nodiscard]] py::Ref tuple_forward_refs(const SpecEngine& engine);
// Union: a new set with the refs of each candidate, in order.
[[nodiscard]] py::Ref union_forward_refs(const SpecEngine& engine);
// Dict: a new set (empty without a schema) with the refs of the `value` of
// each field in the schema's `fields` mapping.
[[nodiscard]] py::Ref dict_forward_refs(const SpecEngine& engine);
// Callable: a new set with the refs of each argument spec, of each keyword
// entry's spec (item 1) and of the return spec.
[[nodiscard]] py::Ref callable_forward_refs(const SpecEngine& engine);
// Object and Type: a new set holding the one forward reference, or the
// bridge's shared empty frozenset without one.
[[nodiscard]] py::Ref forward_ref_forward_refs(const SpecEngine& engine);

// Union: with forward references and a stored value type, the tuple of the
// candidates' `value_type`s in order (a tuple contributing its items, each
// class once at its first place); otherwise the stored value type.
[[nodiscard]] py::Ref union_value_type_obj(const SpecEngine& engine);
// Object: the forward reference's `cls`, else the stored value type.
[[nodiscard]] py::Ref object_value_type_obj(const SpecEngine& engine);

}  // namespace vesk::typing
