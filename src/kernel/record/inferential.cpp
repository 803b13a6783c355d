#include "kernel/record/inferential.hpp"

#include "py/lazy.hpp"
#include "symbolic/errors.hpp"
#include "symbolic/object/bridge.hpp"

namespace vesk::kernel::record {

bool type_defines_infer(PyTypeObject* type) noexcept {
    // The common field values: built-in classes that cannot gain methods.
    if (type == &PyLong_Type || type == &PyUnicode_Type || type == &PyFloat_Type ||
        type == &PyBool_Type || type == Py_TYPE(Py_None) || type == &PyBytes_Type)
        return false;
    PyObject* name;
    if (!py::intern<"infer">(name)) {
        PyErr_Clear();
        return false;
    }
    return py::Ref::steal(_PyType_LookupRef(type, name)) ? true : false;
}

std::nullptr_t raise_contextual_attribute_error(PyObject* obj, PyObject* name) {
    const symbolic::object::ObjectBridge* bridge = symbolic::object::object_bridge();
    if (!bridge) return nullptr;
    py::Ref type_name = py::Ref::steal(PyType_GetName(Py_TYPE(obj)));
    if (!type_name) return nullptr;
    py::Ref message = py::Ref::steal(PyUnicode_FromFormat(
        "contextual attribute `%S` requires a symbolic tree, but %U was declared with "
        "`topo=False`. Declare the class with `topo=True` to use it.",
        name, type_name.get()));
    if (!message) return nullptr;
    py::Ref made =
        py::Ref::steal(PyObject_CallOneArg(bridge->symbolic_mode_error.get(), message.get()));
    if (!made) return nullptr;
    return symbolic::raise_made(made.get());
}

}  // namespace vesk::kernel::record
