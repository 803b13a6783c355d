// Calls of a method by its interned name, the way the symbolic layers reach
// children, specs and the package: through Python attribute lookup, so that
// subclass overrides and pure-Python classes are honoured.
#pragma once

#include "py/lazy.hpp"

namespace vesk::symbolic {

// `obj.Name(*args)`; null with an exception set.
template <py::Literal Name, class... A>
[[nodiscard]] py::Ref call_method(PyObject* obj, A... args) {
    PyObject* name;
    if (!py::intern<Name>(name)) return {};
    PyObject* call[] = {obj, args...};
    return py::Ref::steal(PyObject_VectorcallMethod(
        name, call, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The same for a call whose result is not used: 0 or -1.
template <py::Literal Name, class... A>
[[nodiscard]] int call_method_void(PyObject* obj, A... args) {
    return call_method<Name>(obj, args...) ? 0 : -1;
}

}  // namespace vesk::symbolic
