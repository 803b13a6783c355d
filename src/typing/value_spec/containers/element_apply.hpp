// How List and Tuple apply one element: through the interpreter, by calling
// `apply` by name on the element spec or field, so a Python subclass or a
// pure-Python spec is honoured at every level.
//
// Errors: a null Ref with the callee's exception (or the path's) set.
#pragma once

#include "py/ref.hpp"
#include "typing/value_spec/engine/apply.hpp"

namespace vesk::typing::containers {

// The key path of element `index` under the options' root path (the index
// alone without one).
[[nodiscard]] py::Ref element_path(const ApplyOptions& options, Py_ssize_t index);

// `callee.apply(element, allow_partial=, inplace=, root_path=path)`, with
// `transform_fn=options.child_transform` added when `with_transform`.
[[nodiscard]] py::Ref apply_element(PyObject* callee, PyObject* element,
                                    const ApplyOptions& options, PyObject* path,
                                    bool with_transform);

}  // namespace vesk::typing::containers
