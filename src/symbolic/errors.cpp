#include "symbolic/errors.hpp"

#include "py/ref.hpp"

namespace vesk::symbolic {

std::nullptr_t raise_made(PyObject* made) {
    if (PyExceptionInstance_Check(made)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(made)), made);
    } else if (PyExceptionClass_Check(made)) {
        py::Ref instance = py::Ref::steal(PyObject_CallNoArgs(made));
        if (instance) return raise_made(instance.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return nullptr;
}

void raise_with_arg(PyObject* type, PyObject* arg) {
    py::Ref exc = py::Ref::steal(PyObject_CallOneArg(type, arg));
    if (exc) PyErr_SetObject(type, exc.get());
}

}  // namespace vesk::symbolic
