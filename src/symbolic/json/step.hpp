// The answer of one step of a native JSON road: the step is done (its
// result written), it declines (nothing written; the package's own Python
// code decides the whole value), or it failed with an exception set. Every
// JSON road answers with it: the walk of whole trees and the object seams.
#pragma once

#include "py/ref.hpp"

namespace vesk::symbolic::json {

enum Step : int { kError = -1, kDecline = 0, kDone = 1 };

// Stores under `key` in the dict `d` what the road's `value(v, out)` makes
// of `v`, once that step is done; its answer otherwise, nothing stored.
template <class Value>
[[nodiscard]] Step store_value(PyObject* d, PyObject* key, PyObject* v, Value&& value) {
    py::Ref out;
    const Step r = value(v, out);
    if (r != kDone) return r;
    return PyDict_SetItem(d, key, out.get()) < 0 ? kError : kDone;
}

}  // namespace vesk::symbolic::json
