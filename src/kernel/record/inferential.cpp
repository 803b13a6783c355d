#include "kernel/record/inferential.hpp"

#include "py/lazy.hpp"

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

}  // namespace vesk::kernel::record
