// The marker tests by which the symbolic layers classify arbitrary Python
// values. The class markers look a name up on the value's class, never on
// the instance, and never read the attribute; a lookup that fails (a
// metaclass or descriptor raising) is the only error. Predicates answer
// 1 / 0 / -1 (exception set).
#pragma once

#include "py/ref.hpp"
#include "typing/fast_types.hpp"

namespace vesk::symbolic {

// The class has `sym_clone`.
[[nodiscard]] int is_symbolic(PyObject* value);
// Not primitive, and the class has `infer`.
[[nodiscard]] int is_inferential(PyObject* value);
// Inferential, or the class has `reference_paths`.
[[nodiscard]] int is_reference_like(PyObject* value);
// The class has `topo_setpath`.
[[nodiscard]] int is_topology_aware(PyObject* value);

// None, or exactly an int, float, str, bool or bytes (a subclass is not):
// the same five classes and None as the funnel's scalar test. Inline, as
// every write asks it several times.
[[nodiscard]] inline bool is_primitive(PyObject* value) noexcept {
    return typing::is_scalar_value(value);
}

// The topology flag of a child where it only decides whether to detach or
// re-path it: false only when `value.enable_topo` reads as a bool scalar that
// is false; a failed read or any other answer counts as true. Never fails.
[[nodiscard]] bool lenient_topology_flag(PyObject* value) noexcept;

}  // namespace vesk::symbolic
