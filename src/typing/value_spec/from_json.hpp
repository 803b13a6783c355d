// Rebuilding a value spec from its JSON dictionary: the one dispatch behind
// the `from_json` class method of every concrete spec class and of Union.
//
// The calling class chooses the kind by passing its own serialization key;
// the dictionary's "_type" entry is never read, and keys the kind does not
// read are ignored. Every nested value (default, element specs, schema,
// candidates, classes, transform) is rebuilt by the typing bridge's
// `from_json(value, **kwargs)` with the caller's keyword arguments forwarded
// unchanged; the flags "is_noneable", "frozen" and "strict" are read as
// stored and must be real bools. Every kind ends in its own native
// constructor, so a form runs the same checks as a direct construction.
//
// The dictionary comes from outside and is treated as untrusted: a wrong
// type is a TypeError naming the key, an absent required key a ValueError,
// a nesting deeper than `kMaxJsonDepth` specs a ValueError, and a failure
// at any point builds nothing.
//
// Errors: empty optional / -1 / false / null with an exception set; an
// uninstalled bridge is "typing bridge not installed".
#pragma once

#include "py/args.hpp"
#include "py/lazy.hpp"
#include "typing/value_spec/engine/build.hpp"

#include <optional>

namespace vesk::typing {

// How many value-spec forms may nest inside one another on one thread
// before reading stops: far beyond any spec written by hand, well below the
// depth at which the interpreter's own recursion guard would answer first.
inline constexpr int kMaxJsonDepth = 100;

// The keyword arguments of a `from_json(json_value, **kwargs)` or
// `to_json(**kwargs)` call as a new dict, in call order.
[[nodiscard]] py::Ref json_kwargs(const py::ExtraKeywords& extra);

// `json_value[key]` (exact dict lookup) rebuilt through the bridge's
// `from_json` with `kwargs`: 1 with `out` set (None included), 0 when the
// key is absent, -1 on error. `key` is a str.
[[nodiscard]] int json_field(PyObject* json_value, PyObject* key, PyObject* kwargs, py::Ref& out);

// The same with the key given as text (field and schema readers).
[[nodiscard]] int json_field(PyObject* json_value, const char* key, PyObject* kwargs,
                             py::Ref& out);

// `json_value` is a dict (subclasses included); TypeError otherwise.
[[nodiscard]] bool json_check_dict(PyObject* json_value);

// `json_value[key]` as stored, which must be True or False: 1 with `out`
// set, 0 when absent (`out` untouched), -1 on error.
[[nodiscard]] int json_bool(PyObject* json_value, PyObject* key, bool& out);

// The engine that `json_value` describes as a spec of the kind named by
// `serialization_key` ("vesk.typing.Int", ...). `kwargs` null: none.
[[nodiscard]] std::optional<SpecEngine> base_from_json(const char* serialization_key,
                                                       PyObject* json_value, PyObject* kwargs);

using SpecTypeFn = PyTypeObject* (*)();

// `from_json(json_value, **kwargs)` as a class method: the engine wrapped in
// a new instance of `type` (the class defining the method, never a
// subclass it was reached through).
[[nodiscard]] PyObject* spec_from_json(const char* serialization_key, PyTypeObject* type,
                                       PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);

template <py::Literal Key, SpecTypeFn Type>
PyObject* from_json_method(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    PyTypeObject* type = Type();
    return type ? spec_from_json(Key.text, type, args, nargs, kwnames) : nullptr;
}

}  // namespace vesk::typing
