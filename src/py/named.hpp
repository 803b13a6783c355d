// Attribute reads and calls by a name given at compile time. Each helper
// reads the name's cell (lazy.hpp) itself and fails with its exception when
// the cell cannot be made, so the caller tests one result, never the name.
//
//   py::Ref keys = py::call_method<"keys">(d);                  // d.keys()
//   py::Ref r = py::call_method<"extend">(spec, base);          // spec.extend(base)
//   PyObject* args[] = {field, value, Py_True, path};
//   py::Ref v = py::call_method_kw<"apply", "allow_partial", "root_path">(args);
//                                        // field.apply(value, allow_partial=True, root_path=path)
//   py::Ref found;
//   if (py::get_optional_attr<"hook">(obj, found) < 0) return nullptr;
//
// `py::get_attr<"x">(obj)` (lazy.hpp) is the plain read. Errors follow the
// interpreter's convention: a null Ref or -1 means an exception is set.
#pragma once

#include "py/lazy.hpp"

#include <cstddef>
#include <type_traits>

namespace vesk::py {

// `obj.Name(args...)` with positional arguments (borrowed).
template <Literal Name, class... A>
    requires(std::is_convertible_v<A, PyObject*> && ...)
[[nodiscard]] Ref call_method(PyObject* obj, A... args) {
    PyObject* name;
    if (!intern<Name>(name)) return {};
    PyObject* argv[] = {obj, static_cast<PyObject*>(args)...};
    return Ref::steal(PyObject_VectorcallMethod(
        name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `args[0].Name(...)` with keyword arguments: `args` holds the receiver,
// the positional arguments, then one value for each keyword `Kw`, in order.
template <Literal Name, Literal... Kw, std::size_t N>
    requires(sizeof...(Kw) > 0 && N > sizeof...(Kw))
[[nodiscard]] Ref call_method_kw(PyObject* (&args)[N]) {
    PyObject* name;
    PyObject* kwnames;
    if (!intern<Name>(name) || !names<Kw...>(kwnames)) return {};
    return Ref::steal(PyObject_VectorcallMethod(
        name, args, (N - sizeof...(Kw)) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// `fn(...)` with keyword arguments: `args` holds the positional arguments,
// then one value for each keyword `Kw`, in order.
template <Literal... Kw, std::size_t N>
    requires(sizeof...(Kw) > 0 && N >= sizeof...(Kw))
[[nodiscard]] Ref call_kw(PyObject* fn, PyObject* (&args)[N]) {
    PyObject* kwnames;
    if (!names<Kw...>(kwnames)) return {};
    return Ref::steal(PyObject_Vectorcall(fn, args, N - sizeof...(Kw), kwnames));
}

// `Module.Attr(args...)`, the attribute imported on first use.
template <Literal Module, Literal Attr, class... A>
    requires(std::is_convertible_v<A, PyObject*> && ...)
[[nodiscard]] Ref call_imported(A... args) {
    PyObject* fn;
    if (!imported<Module, Attr>(fn)) return {};
    PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
    return Ref::steal(
        PyObject_Vectorcall(fn, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `obj.Name` when present: 1 with `out` set, 0 with `out` empty when absent,
// -1 with an exception set.
template <Literal Name>
[[nodiscard]] int get_optional_attr(PyObject* obj, Ref& out) {
    out.reset();
    PyObject* name;
    if (!intern<Name>(name)) return -1;
    PyObject* found = nullptr;
    const int r = PyObject_GetOptionalAttr(obj, name, &found);
    out = Ref::steal(found);
    return r;
}

// Whether `obj` has the attribute `Name`: 1, 0, or -1 with an exception set.
template <Literal Name>
[[nodiscard]] int has_attr(PyObject* obj) {
    PyObject* name;
    if (!intern<Name>(name)) return -1;
    return PyObject_HasAttrWithError(obj, name);
}

}  // namespace vesk::py
