// Writing a value spec as its JSON-ready dictionary: `SpecBase.to_json`.
//
// The writer decides which keys exist, in which order, and when a key is
// left out; every nested value (default, element specs, schema, classes,
// candidates, transform) is handed to the typing bridge's
// `to_json(value, **kwargs)` with the caller's keyword arguments, so the
// package decides how it is spelled. The dictionary is read back by the
// dispatch of from_json.hpp.
//
// The spec is held shared for the whole call, also while the bridge runs:
// a mutation of the spec from inside a nested conversion is refused.
#pragma once

#include "py/python.hpp"

namespace vesk::typing {

// `to_json(**kwargs)`: a new dict; null with an exception set.
PyObject* spec_to_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);

}  // namespace vesk::typing
