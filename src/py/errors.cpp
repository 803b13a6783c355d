#include "py/errors.hpp"

#include "py/once_cell.hpp"

namespace vesk::py {

namespace {

// Internal errors are RuntimeError instances of a private subclass, so the
// slot guard can tell them from user-facing RuntimeErrors without any
// per-thread bookkeeping.
ObjectCell internal_error_type;

PyObject* internal_type() {
    return internal_error_type.get_or_init([] {
        return Ref::steal(PyErr_NewException("vesk_core._native.InternalError",
                                             PyExc_RuntimeError, nullptr));
    });
}

}  // namespace

void raise_internal(const char* message) {
    PyObject* type = internal_type();
    if (!type) return;  // the failure to build the type is the pending error
    PyErr_SetString(type, message);
}

bool internal_error_pending() noexcept {
    PyObject* type = internal_error_type.get();
    return type && PyErr_ExceptionMatches(type);
}

void convert_to_slot_panic() noexcept {
    if (PyErr_Occurred() && !internal_error_pending()) return;
    PyErr_Clear();
    PyErr_SetString(PyExc_RuntimeError, "panic in native slot");
}

}  // namespace vesk::py
