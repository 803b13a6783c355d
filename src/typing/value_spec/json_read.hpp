// Reading a value spec back from its JSON dictionary: the pieces every
// kind's `from_json` shares. The caller chooses the kind; the dictionary's
// "_type" entry is never read, and keys a kind does not know are ignored.
//
// Nested values (defaults, candidates, classes, transforms) are rebuilt by
// the typing bridge's `from_json(value, **kwargs)` with the caller's keyword
// arguments forwarded unchanged; flags are taken as stored and must be real
// bools.
//
// Errors follow the interpreter's convention (false / -1 / null with an
// exception set); an uninstalled bridge is "typing bridge not installed".
#pragma once

#include "py/args.hpp"
#include "typing/value_spec/engine/build.hpp"

namespace vesk::typing {

// `json_value` is a dict (subclasses included); TypeError otherwise.
[[nodiscard]] bool json_check_dict(PyObject* json_value);

// The keyword arguments of a `from_json(json_value, **kwargs)` call as a new
// dict, in call order.
[[nodiscard]] py::Ref json_kwargs(const py::ExtraKeywords& extra);

// `json_value[key]` rebuilt through the bridge's `from_json` with `kwargs`:
// 1 with `out` set (None included), 0 when the key is absent, -1 on error.
[[nodiscard]] int json_field(PyObject* json_value, const char* key, PyObject* kwargs,
                             py::Ref& out);

// The options every kind reads: "default" (rebuilt; absent is the missing
// value), "is_noneable" and "frozen" (bools, False when absent) and
// "strict" (a bool when present, unset when absent). No default factory.
[[nodiscard]] bool json_common(PyObject* json_value, PyObject* kwargs, SpecCommon& out);

// A required key: rebuilt into `out`, or ValueError "{message}" when absent.
[[nodiscard]] bool json_required(PyObject* json_value, const char* key, PyObject* kwargs,
                                 const char* message, py::Ref& out);

}  // namespace vesk::typing
