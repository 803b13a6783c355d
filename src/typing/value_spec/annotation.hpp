// What a spec stands for as a whole: its typing annotation, class-wide
// strictness, and the probes through which schemas, containers and compiled
// field metadata pick a fast path per field.
//
// The native probes answer from the engine's fields alone, without
// allocating or calling Python, so callers may run them on every field of
// every construction. Call them under a shared hold of the spec.
#pragma once

#include "typing/value_spec/engine/spec_engine.hpp"

namespace vesk::typing {

// --- native probes (borrowed results, never fail) ----------------------------

// The value type whose exact instances the spec accepts as they are, with no
// Python call: Bool, Str without a regex, Number without bounds, or Any, with
// a value type, no transform, not frozen. Null otherwise.
[[nodiscard]] PyObject* exact_leaf_type(const SpecEngine& engine) noexcept;
// The value type of a constrained leaf (Str with a regex, Number with a bound,
// Enum) whose exact instances are accepted after the native `validate`: no
// transform, not frozen, value type exactly int, float, str or bool. Null
// otherwise.
[[nodiscard]] PyObject* checked_leaf_type(const SpecEngine& engine) noexcept;
// The kind descends into values (List, Tuple, Union, Object, Dict).
[[nodiscard]] bool has_custom_apply(const SpecEngine& engine) noexcept;
// The kind has constraints of its own (Str, Number, Enum, Type, Callable).
[[nodiscard]] bool has_custom_validate(const SpecEngine& engine) noexcept;
// `validate` checks nothing for this spec (a List's size check aside).
[[nodiscard]] bool validate_is_noop(const SpecEngine& engine) noexcept;

// --- SpecBase members (each takes a shared hold of `self`) --------------------

PyObject* get_annotation(PyObject* self);
PyObject* get_fast_apply_info(PyObject* self);
PyObject* get_exact_leaf_type(PyObject* self);
PyObject* get_checked_leaf_type(PyObject* self);
PyObject* get_has_custom_apply(PyObject* self);
PyObject* get_has_custom_validate(PyObject* self);
PyObject* get_validate_is_noop(PyObject* self);
PyObject* get_value_type_plain(PyObject* self);
PyObject* get_is_any_type(PyObject* self);
PyObject* get_is_inherit_marker(PyObject* self);
// `_materialize_strict()`: an unset `strict` becomes True, then the children
// (element specs, field values, candidates) get the same, each through its
// own `_materialize_strict`, after this spec's hold is released.
PyObject* spec_materialize_strict(PyObject* self);

}  // namespace vesk::typing
