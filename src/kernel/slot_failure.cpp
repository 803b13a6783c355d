#include "kernel/slot_failure.hpp"

#include "py/borrow.hpp"

#include <cstring>

namespace vesk::kernel {

namespace {

bool is_borrow_conflict(PyObject* exc) noexcept {
    if (!Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_RuntimeError))) return false;
    // A write meeting another thread's write is refused as such, not as a
    // failure of the slot.
    if (py::is_claim_refusal(exc)) return false;
    PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(exc)->args;
    if (!args || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) != 1) return false;
    PyObject* message = PyTuple_GET_ITEM(args, 0);
    if (!PyUnicode_Check(message)) return false;
    return PyUnicode_CompareWithASCIIString(message, "Already borrowed") == 0 ||
           PyUnicode_CompareWithASCIIString(message, "Already mutably borrowed") == 0;
}

}  // namespace

bool internal_failure_pending() noexcept {
    if (!PyErr_Occurred()) return false;
    if (py::internal_error_pending()) return true;
    PyObject* exc = PyErr_GetRaisedException();
    const bool conflict = is_borrow_conflict(exc);
    PyErr_SetRaisedException(exc);
    return conflict;
}

void convert_internal_failure() noexcept {
    if (PyErr_Occurred() && !internal_failure_pending()) return;
    PyErr_Clear();
    PyErr_SetString(PyExc_RuntimeError, "panic in native slot");
}

}  // namespace vesk::kernel
