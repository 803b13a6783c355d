#include "symbolic/momentary.hpp"

#include "py/borrow.hpp"

#include <chrono>
#include <cstring>

namespace vesk::symbolic {

namespace {

bool is_refusal_text(PyObject* exc) noexcept {
    py::Ref text = py::Ref::steal(PyObject_Str(exc));
    if (!text) {
        PyErr_Clear();
        return false;
    }
    const char* s = PyUnicode_AsUTF8(text.get());
    if (!s) {
        PyErr_Clear();
        return false;
    }
    return std::strcmp(s, "Already borrowed") == 0 ||
           std::strcmp(s, "Already mutably borrowed") == 0;
}

}  // namespace

bool hold_refusal_pending() noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return false;
    // The text too: an address can be taken again by a later exception.
    const bool refusal = py::is_latest_refusal(exc) &&
                         Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_RuntimeError)) &&
                         is_refusal_text(exc);
    PyErr_SetRaisedException(exc);
    return refusal;
}

int retry_past_momentary_holds(int (*step)(void* ctx), void* ctx) {
    const auto start = std::chrono::steady_clock::now();
    for (unsigned attempt = 0;; ++attempt) {
        if (!hold_refusal_pending()) return -1;
        if (std::chrono::steady_clock::now() - start > py::kMomentaryLimit) return -1;
        PyErr_Clear();
        py::pause_for_retry(attempt);
        if (step(ctx) == 0) return 0;
    }
}

}  // namespace vesk::symbolic
