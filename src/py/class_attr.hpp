// Finding a Python function on a class, and calling one as a method, without
// the generic attribute road where the interpreter's own rules say it would
// come to the same function.
//
// A lookup along the MRO costs a probe of the interpreter's type cache and
// a new reference; on the free-threaded build the reference is an atomic
// update of a count that every thread calling the class's function shares.
// So each thread keeps the few functions it last found, by the class's
// version tag, which any change of the class's namespace or of a base's
// moves on: while the tag holds, the class still has that function.
#pragma once

#include "py/ref.hpp"

namespace vesk::py {

// The attribute `name` (interned) of `type`, found along its MRO, when it is
// a Python function; null (no exception) otherwise. The function is
// borrowed until the caller next runs Python code; `keep` holds it where
// that is what keeps it alive (with the global lock, always; see the .cpp).
[[nodiscard]] PyObject* class_function(PyTypeObject* type, PyObject* name, Ref& keep);

// `obj.name(arg)`, as the interpreter's method call makes it. When `obj`'s
// attribute lookup is `generic_first`, a native lookup that answers what the
// generic one finds before anything of its own, and the instance has no
// attributes of its own, the class's function is called with `obj` in
// front, as the bound method would call it, and no bound method is made (the
// interpreter's method call does the same for the generic lookup). Null with
// an exception set on failure.
[[nodiscard]] Ref call_method_one(PyObject* obj, PyObject* name, PyObject* arg,
                                  getattrofunc generic_first = nullptr);

}  // namespace vesk::py
