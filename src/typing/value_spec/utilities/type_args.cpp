#include "typing/value_spec/utilities/type_args.hpp"

#include "py/lazy.hpp"
#include "typing/bridge.hpp"

namespace vesk::typing {

py::Ref as_type_args(PyObject* args) {
    if (PyTuple_Check(args)) return py::Ref::borrow(args);
    return py::Ref::steal(PyTuple_Pack(1, args));
}

py::Ref from_annotation(PyObject* annotation) {
    const TypingBridge* b = typing_bridge();
    if (!b) return {};
    py::Ref method = py::get_attr<"from_annotation">(b->value_spec_cls.get());
    if (!method) return {};
    PyObject* kw;
    if (!py::names<"auto_typing">(kw)) return {};
    PyObject* args[2] = {annotation, Py_True};
    return py::Ref::steal(PyObject_Vectorcall(method.get(), args, 1, kw));
}

py::Ref union_getitem(PyObject* a, PyObject* b) {
    const TypingBridge* br = typing_bridge();
    if (!br) return {};
    py::Ref pair = py::Ref::steal(PyTuple_Pack(2, a, b));
    if (!pair) return {};
    return py::Ref::steal(PyObject_GetItem(br->union_cls.get(), pair.get()));
}

py::Ref generic_getitem_result(py::Ref spec) {
    if (!spec) return {};
    // `typing` is imported once; its TYPE_CHECKING is read at each use,
    // since code may set it after import.
    PyObject* module;
    if (!py::imported<"typing">(module)) return {};
    py::Ref flag = py::get_attr<"TYPE_CHECKING">(module);
    if (!flag) return {};
    const int checking = PyObject_IsTrue(flag.get());
    if (checking < 0) return {};
    if (!checking) return spec;
    return py::get_attr<"annotation">(spec.get());
}

}  // namespace vesk::typing
