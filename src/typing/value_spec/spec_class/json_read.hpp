// Rebuilding a value spec from its JSON dictionary: what every class's
// `from_json` shares (spec_class.hpp generates the method; each class names
// its reader, which reads its own keys through a `JsonRow`).
//
// The calling class chooses the kind; the dictionary's "_type" entry is
// never read, and keys the kind does not read are ignored. Every nested value
// (default, element specs, schema, candidates, classes, transform) is rebuilt
// by the typing bridge's `from_json(value, **kwargs)` with the caller's
// keyword arguments forwarded unchanged; the flags "is_noneable", "frozen"
// and "strict" are read as stored and must be real bools. Every reader ends
// in its kind's native constructor, so a form runs the same checks as a
// direct construction.
//
// The dictionary comes from outside and is treated as untrusted: a wrong
// type is a TypeError naming the key, an absent required key a ValueError,
// a nesting deeper than `kMaxJsonDepth` specs a ValueError, and a failure
// at any point builds nothing.
//
// Errors: empty optional / false / -1 with an exception set; an uninstalled
// bridge is "typing bridge not installed".
#pragma once

#include "py/args.hpp"
#include "py/lazy.hpp"
#include "typing/json_form.hpp"
#include "typing/value_spec/engine/build.hpp"

#include <cstdint>
#include <optional>

namespace vesk::typing {

// How many value-spec forms may nest inside one another on one thread
// before reading stops: far beyond any spec written by hand, well below the
// depth at which the interpreter's own recursion guard would answer first.
inline constexpr int kMaxJsonDepth = 100;

// One kind's reading of a form: the dictionary and the keyword arguments
// that every nested conversion gets.
struct JsonRow {
    PyObject* json_value;
    PyObject* kwargs;

    // As is: `out` stays null when the key is absent.
    template <py::Literal Key>
    [[nodiscard]] bool field(py::Ref& out) const {
        PyObject* key;
        return py::intern<Key>(key) && json_field(json_value, key, kwargs, out) >= 0;
    }

    // A key without which the kind cannot be built.
    template <py::Literal Key>
    [[nodiscard]] bool required(const char* message, py::Ref& out) const {
        PyObject* key;
        if (!py::intern<Key>(key)) return false;
        const int r = json_field(json_value, key, kwargs, out);
        if (r == 0) PyErr_SetString(PyExc_ValueError, message);
        return r > 0;
    }

    // A flag stored as it is, never rebuilt, which must be True or False: 1
    // read into `out`, 0 absent (`out` untouched), -1 on error.
    template <py::Literal Key>
    [[nodiscard]] int stored_flag(bool& out) const {
        PyObject* key;
        return py::intern<Key>(key) ? json_bool(json_value, key, out) : -1;
    }

    // A size: an integer (objects with `__index__` count) that fits 64
    // signed bits; None is refused like any other non-integer.
    template <py::Literal Key>
    [[nodiscard]] bool size(std::optional<std::int64_t>& out) const {
        py::Ref value;
        if (!field<Key>(value)) return false;
        return !value || to_i64(Key.text, value.get(), out);
    }

    // A bool rebuilt through the bridge: 1 read into `out`, 0 absent (`out`
    // untouched), -1 on error.
    template <py::Literal Key>
    [[nodiscard]] int flag(bool& out) const {
        py::Ref value;
        if (!field<Key>(value)) return -1;
        if (!value) return 0;
        return py::arg_bool(Key.text, value.get(), out) ? 1 : -1;
    }
    // A tri-state flag: absent is unset.
    template <py::Literal Key>
    [[nodiscard]] bool tri(Tri& out) const {
        bool value = false;
        const int given = flag<Key>(value);
        if (given > 0) out = tri_from_bool(value);
        return given >= 0;
    }

    // "transform": None is none. A form naming something that cannot be
    // called is refused here rather than built into a spec that fails on
    // every apply.
    [[nodiscard]] bool transform(SpecCommon& common) const;

private:
    [[nodiscard]] static bool to_i64(const char* name, PyObject* value,
                                     std::optional<std::int64_t>& out);
};

// A class's reader: the engine its form describes, from the common options
// already read ("default", "is_noneable", "frozen", "strict").
using JsonReader = std::optional<SpecEngine> (*)(const JsonRow& row, SpecCommon common);

// The engine that `json_value` describes as read by `read`. `kwargs` null:
// none.
[[nodiscard]] std::optional<SpecEngine> base_from_json(JsonReader read, PyObject* json_value,
                                                       PyObject* kwargs);

}  // namespace vesk::typing
