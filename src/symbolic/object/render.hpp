// `_render_object_fast`: the call-like text of a tree of symbolic objects
// whose leaves are primitives, `Name(a=1, b=Child(x=2))` or its multi-line
// form. The package installs it as its object renderer and formats the
// object itself whenever this answers None; for every nested value that is
// not a primitive it asks the package's `child_fields` callback, which
// decides what may be rendered here.
#pragma once

#include "py/python.hpp"

namespace vesk::symbolic::object {

// `_render_object_fast(obj, name, compact, root_indent, child_fields)`: the
// rendered str, or None to decline (a `compact` that is not a bool, a
// `root_indent` that is not a 64-bit int, a blank object, a value the
// callback refuses, nesting beyond 100 levels below the top).
PyObject* render_object_fast(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

extern PyMethodDef render_functions[];

}  // namespace vesk::symbolic::object
