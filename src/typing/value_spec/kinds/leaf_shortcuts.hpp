// What the leaf kinds' shortcuts share (Bool, Str, Number, Enum, Any):
// exact-class leaves are accepted before any step of the full road, with no
// Python call, no allocation and no path text (except when a constrained
// leaf must be validated). Only a plain spec with a value type decides
// anything; everything else is undecided.
#pragma once

#include "typing/fast_types.hpp"
#include "typing/value_spec/engine/apply.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"
#include "typing/value_spec/engine/probes.hpp"

namespace vesk::typing {

[[nodiscard]] inline Shortcut accept_as_is(PyObject* value, py::Ref& out) {
    out = py::Ref::borrow(value);
    return Shortcut::Accepted;
}

// Whether the spec's shortcut may decide at all.
[[nodiscard]] inline bool leaf_shortcut_applies(const SpecEngine& engine) noexcept {
    return engine.value_type && engine.is_plain();
}

// The shortcut of the scalar leaf kinds (Bool, Str, Number, Enum), read
// from the same classification of the engine that field records, element
// rules and the schema's constant-key entries compile from: a value of
// exactly the exact leaf class is accepted as it is; one of exactly the
// checked leaf class (a constrained primitive) is validated here, so the
// full road is skipped whether it passes or fails.
[[nodiscard]] inline Shortcut leaf_shortcut(const SpecEngine& engine, PyObject* value,
                                            const ApplyOptions& options, py::Ref& out) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    if (PyObject* exact = native_exact_leaf(engine)) {
        if (type != exact) return Shortcut::Undecided;
        return accept_as_is(value, out);
    }
    if (type != native_checked_leaf(engine)) return Shortcut::Undecided;
    if (validate(engine, value, options.root_path) < 0) return Shortcut::Error;
    return accept_as_is(value, out);
}

}  // namespace vesk::typing
