// Fetching the value at a key path inside a tree of Python values.
#pragma once

#include "py/ref.hpp"

namespace vesk::topology {

// The value reached by walking `keys` from `src`: exact lists and tuples by
// index, exact dicts by key, values answering `sym_hasattr` through their
// own protocol (`sym_inferred` instead of `sym_getattr` with
// `use_inferred`), anything else through item access. An absent key raises
// KeyError naming the path; errors of the containers propagate. Walks
// iteratively, so any depth is safe. Null with an exception set on failure.
// `path` must be a KeyPath.
[[nodiscard]] py::Ref query_path(PyObject* path, PyObject* src, bool use_inferred);

}  // namespace vesk::topology
