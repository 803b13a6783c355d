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

}  // namespace vesk::symbolic
