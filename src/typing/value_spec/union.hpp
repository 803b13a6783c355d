// Union: a value spec that accepts a value when one of its candidate specs
// accepts it.
//
// State. A Union is a SpecEngine whose payload holds the converted
// candidates (a list of at least two specs, in the order given) and,
// when every candidate's value type is a class claimed by no other
// candidate, a map from exact class to candidate through which apply picks
// a candidate with one dict lookup. The engine's value type is the tuple of
// the candidates' value types (None when one of them has none); the Union is
// noneable when asked or when a candidate is.
//
// Candidates are converted through the bridge's `from_annotation`, so a class
// or typing construct becomes a spec, and are asked everything by attribute
// name (`_value_type`, `is_noneable`, `apply`, `is_compatible`), so Python
// specs take part.
//
// The class accepts Python subclasses: only `__new__` makes an instance of
// the class it is called on; copies, `from_json` and the type-argument forms
// make a plain Union.
//
// Errors: empty optional / null with an exception set.
#pragma once

#include "typing/value_spec/engine/build.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"

#include <optional>

namespace vesk::typing {

// The class, built on first use (borrowed), or null with an exception set.
[[nodiscard]] PyTypeObject* union_type();

// The native constructor behind `__new__`, the type-argument forms and
// `from_json`: checks and converts `candidates` (a list or tuple of at least
// two items), refuses two candidates of the same spec class and value type,
// derives the value type and type map, then builds the engine.
[[nodiscard]] std::optional<SpecEngine> union_new(PyObject* candidates, SpecCommon common);

// The per-kind apply steps (union_apply.cpp), for the dispatch entry.
// With a type map, not frozen and no transform, and the spec object given:
// the candidate of the value's exact class accepts the value as it is when
// it is an unconstrained leaf. Everything else is undecided.
[[nodiscard]] Shortcut union_shortcut(const SpecEngine& engine, PyObject* spec_obj,
                                      PyObject* value, ApplyOptions& options, py::Ref& out);
// Picks the candidate for the value (type map, then three passes in
// candidate order) and applies it; TypeError "{value!r} does not match any
// candidate of {spec}." when none does.
[[nodiscard]] py::Ref union_apply_kind(const SpecEngine& engine, py::Ref value,
                                       const ApplyOptions& options, PyObject* path_text);

}  // namespace vesk::typing
