#include "symbolic/momentary.hpp"

#include "py/borrow.hpp"

#include <chrono>

namespace vesk::symbolic {

bool hold_refusal_pending() noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return false;
    // The text too: an address can be taken again by a later exception.
    const bool refusal = py::is_latest_refusal(exc) && py::is_borrow_error(exc);
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
