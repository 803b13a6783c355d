// Writing a value spec as its JSON-ready dictionary (`SpecBase.to_json`).
//
// The writer decides which keys exist, in which order, and when a key is
// left out: "_type" (the kind's serialisation key, never the Python class's,
// so a subclass writes its kind's key), "default" when there is one and the
// kind shows it, then what the kind's table writes (`write_json`). Every
// nested value (default, element specs, schema, classes, candidates,
// transform) is handed to the typing bridge's `to_json(value, **kwargs)` with
// the caller's keyword arguments, so the package decides how it is spelled.
// The dictionary is read back by the classes' `from_json` (json_read.hpp).
//
// The spec is held shared for the whole call, also while the bridge runs:
// a mutation of the spec from inside a nested conversion is refused.
#pragma once

#include "py/lazy.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"

#include <cstdint>
#include <optional>

namespace vesk::typing {

// Fills one result dictionary; every method returns false with an exception
// set when a write or a nested conversion fails.
class SpecJsonWriter {
public:
    SpecJsonWriter(PyObject* out, PyObject* kwargs) noexcept : out_(out), kwargs_(kwargs) {}

    // The object itself, unconverted.
    template <py::Literal Key>
    [[nodiscard]] bool put(PyObject* value) {
        PyObject* key;
        return py::intern<Key>(key) && PyDict_SetItem(out_, key, value) == 0;
    }
    // The object passed through the bridge's `to_json`.
    template <py::Literal Key>
    [[nodiscard]] bool conv(PyObject* value) {
        py::Ref json = convert(value);
        return json && put<Key>(json.get());
    }
    template <py::Literal Key>
    [[nodiscard]] bool conv_if(const py::Ref& value) {
        return !value || conv<Key>(value.get());
    }
    template <py::Literal Key>
    [[nodiscard]] bool true_if(bool set) {
        return !set || put<Key>(Py_True);
    }
    template <py::Literal Key>
    [[nodiscard]] bool tri(Tri value) {
        return value == Tri::Unset || put<Key>(tri_object(value));
    }
    template <py::Literal Key>
    [[nodiscard]] bool size(std::int64_t value) {
        py::Ref n = py::Ref::steal(PyLong_FromLongLong(value));
        return n && put<Key>(n.get());
    }
    template <py::Literal Key>
    [[nodiscard]] bool size(std::optional<std::int64_t> value) {
        return !value || size<Key>(*value);
    }

    // The trailing flags, in the three orders the kinds use.
    [[nodiscard]] bool noneable_strict_frozen(const SpecEngine& e) {
        return true_if<"is_noneable">(e.is_noneable) && tri<"strict">(e.strict) &&
               true_if<"frozen">(e.frozen);
    }
    [[nodiscard]] bool noneable_frozen_strict(const SpecEngine& e) {
        return true_if<"is_noneable">(e.is_noneable) && true_if<"frozen">(e.frozen) &&
               tri<"strict">(e.strict);
    }
    [[nodiscard]] bool frozen_strict(const SpecEngine& e) {
        return true_if<"frozen">(e.frozen) && tri<"strict">(e.strict);
    }

private:
    [[nodiscard]] py::Ref convert(PyObject* value);
    PyObject* out_;
    PyObject* kwargs_;
};

}  // namespace vesk::typing
