#include "kernel/slot_failure.hpp"

namespace vesk::kernel {

namespace {

bool is_borrow_refusal(PyObject* exc) noexcept {
    if (!Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_RuntimeError))) return false;
    PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(exc)->args;
    if (!args || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) != 1) return false;
    PyObject* message = PyTuple_GET_ITEM(args, 0);
    if (!PyUnicode_Check(message)) return false;
    return PyUnicode_CompareWithASCIIString(message, "Already borrowed") == 0 ||
           PyUnicode_CompareWithASCIIString(message, "Already mutably borrowed") == 0;
}

}  // namespace

bool internal_failure_pending() noexcept {
    return PyErr_Occurred() && py::internal_error_pending();
}

bool borrow_refusal_pending() noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return false;
    const bool refusal = is_borrow_refusal(exc);
    PyErr_SetRaisedException(exc);
    return refusal;
}

}  // namespace vesk::kernel
