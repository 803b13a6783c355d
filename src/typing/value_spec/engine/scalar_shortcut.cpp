// The shortcut of the scalar kinds: exact-class leaves are accepted before
// any step of the full road, with no Python call, no allocation and no path
// text (except when a constrained leaf must be validated).
#include "typing/bridge.hpp"
#include "typing/fast_types.hpp"
#include "typing/markers.hpp"
#include "typing/value_spec/engine/apply.hpp"
#include "typing/value_spec/engine/kind_checks.hpp"
#include "typing/value_spec/utils.hpp"

namespace vesk::typing {

namespace {

Shortcut accept(PyObject* value, py::Ref& out) {
    out = py::Ref::borrow(value);
    return Shortcut::Accepted;
}

// A constrained leaf of exactly its primitive value type: validated here, so
// the full road is skipped whether it passes or fails.
Shortcut validate_leaf(const SpecEngine& engine, PyObject* value, const ApplyOptions& options,
                       py::Ref& out) {
    PyObject* value_type = engine.value_type.get();
    if (!is_primitive_value_type(value_type) ||
        Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(value_type))
        return Shortcut::Undecided;
    if (validate(engine, value, options.root_path) < 0) return Shortcut::Error;
    return accept(value, out);
}

// Any accepts nearly everything as it is; only values that the full road
// treats specially (missing values, custom typing) go on.
Shortcut any_leaf(PyObject* value, py::Ref& out) {
    if (is_any_fast_type(value, true)) return accept(value, out);
    const int missing = is_missing(value);
    if (missing) return missing < 0 ? Shortcut::Error : Shortcut::Undecided;
    const int custom = is_custom_typing(value);
    if (custom) return custom < 0 ? Shortcut::Error : Shortcut::Undecided;
    return accept(value, out);
}

}  // namespace

Shortcut scalar_shortcut(const SpecEngine& engine, PyObject*, PyObject* value,
                         ApplyOptions& options, py::Ref& out) {
    PyObject* value_type = engine.value_type.get();
    if (!value_type || engine.frozen || engine.transform) return Shortcut::Undecided;
    const bool exact = Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(value_type);
    switch (engine.id()) {
        case KindId::Bool:
            return exact ? accept(value, out) : Shortcut::Undecided;
        case KindId::Str:
            if (!kind_as<StrKind>(engine.kind)->regex)
                return exact ? accept(value, out) : Shortcut::Undecided;
            return validate_leaf(engine, value, options, out);
        case KindId::Number: {
            const NumberKind* number = kind_as<NumberKind>(engine.kind);
            if (!number->min_value && !number->max_value)
                return exact ? accept(value, out) : Shortcut::Undecided;
            return validate_leaf(engine, value, options, out);
        }
        case KindId::Enum:
            return validate_leaf(engine, value, options, out);
        case KindId::Any:
            return exact ? accept(value, out) : any_leaf(value, out);
        default:
            return Shortcut::Undecided;
    }
}

}  // namespace vesk::typing
