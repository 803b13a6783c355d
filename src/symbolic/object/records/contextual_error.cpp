// The error of an inferential value read outside a symbolic tree. The
// kernel's field reads raise it (kernel/record/inferential.hpp declares it),
// but it is made by the object bridge, so it is defined here, above the
// kernel, which never includes the object layer.
#include "kernel/record/inferential.hpp"

#include "py/ref.hpp"
#include "symbolic/errors.hpp"
#include "symbolic/object_bridge.hpp"

namespace vesk::kernel::record {

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
