#include "py/errors.hpp"

#include "py/entry.hpp"
#include "py/once_cell.hpp"

#include <exception>
#include <new>

namespace vesk::py {

namespace {

// Internal errors are RuntimeError instances of a private subclass, so a
// panic entry can tell them from user-facing RuntimeErrors without any
// per-thread bookkeeping.
ObjectCell INTERNAL_ERROR_TYPE;

PyObject* internal_type() {
    return INTERNAL_ERROR_TYPE.get_or_init([] {
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
    PyObject* type = INTERNAL_ERROR_TYPE.get();
    return type && PyErr_ExceptionMatches(type);
}

void convert_to_slot_panic() noexcept {
    if (PyErr_Occurred() && !internal_error_pending()) return;
    PyErr_Clear();
    PyErr_SetString(PyExc_RuntimeError, "panic in native slot");
}

namespace detail {

// Called from a catch block: rethrows the exception in flight to name it.
void raise_from_cpp(bool panic) noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        if (panic) {
            PyErr_Clear();
            PyErr_SetString(PyExc_RuntimeError, "panic in native slot");
        } else {
            PyErr_SetString(PyExc_RuntimeError, e.what());
        }
    } catch (...) {
        PyErr_Clear();
        PyErr_SetString(PyExc_RuntimeError,
                        panic ? "panic in native slot" : "internal error in native code");
    }
}

}  // namespace detail

}  // namespace vesk::py
