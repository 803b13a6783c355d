#include "kernel/slot_failure.hpp"

#include "py/borrow.hpp"

namespace vesk::kernel {

bool internal_failure_pending() noexcept {
    return PyErr_Occurred() && py::internal_error_pending();
}

bool borrow_refusal_pending() noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return false;
    const bool refusal = py::is_borrow_error(exc);
    PyErr_SetRaisedException(exc);
    return refusal;
}

}  // namespace vesk::kernel
