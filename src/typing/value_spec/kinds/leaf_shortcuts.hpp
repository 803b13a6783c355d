// What the leaf kinds' shortcuts share (Bool, Str, Number, Enum, Any):
// exact-class leaves are accepted before any step of the full road, with no
// Python call, no allocation and no path text (except when a constrained
// leaf must be validated). Only a plain spec with a value type decides
// anything; everything else is undecided.
#pragma once

#include "typing/fast_types.hpp"
#include "typing/value_spec/engine/apply.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"

namespace vesk::typing {

[[nodiscard]] inline Shortcut accept_as_is(PyObject* value, py::Ref& out) {
    out = py::Ref::borrow(value);
    return Shortcut::Accepted;
}

// Whether the spec's shortcut may decide at all.
[[nodiscard]] inline bool leaf_shortcut_applies(const SpecEngine& engine) noexcept {
    return engine.value_type && engine.is_plain();
}

// A value of exactly the value type is accepted as it is.
[[nodiscard]] inline Shortcut exact_leaf_shortcut(const SpecEngine& engine, PyObject* value,
                                                  py::Ref& out) {
    if (!leaf_shortcut_applies(engine) ||
        Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(engine.value_type.get()))
        return Shortcut::Undecided;
    return accept_as_is(value, out);
}

// A constrained leaf of exactly its primitive value type (int, float, str,
// bool) is validated here, so the full road is skipped whether it passes or
// fails.
[[nodiscard]] inline Shortcut checked_leaf_shortcut(const SpecEngine& engine, PyObject* value,
                                                    const ApplyOptions& options, py::Ref& out) {
    if (!leaf_shortcut_applies(engine)) return Shortcut::Undecided;
    PyObject* value_type = engine.value_type.get();
    if (!is_primitive_value_type(value_type) ||
        Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(value_type))
        return Shortcut::Undecided;
    if (validate(engine, value, options.root_path) < 0) return Shortcut::Error;
    return accept_as_is(value, out);
}

}  // namespace vesk::typing
