// Stepwise iteration over a dict that Python code may change between steps.
// Each step runs under the dict's lock and hands out new references, so the
// caller processes the entry (comparisons, recursion, stores elsewhere) with
// no lock held. A change of size between steps fails like the interpreter's
// own dict iterator.
#pragma once

#include "py/critical_section.hpp"

namespace vesk::py {

class DictCursor {
public:
    explicit DictCursor(PyObject* dict) noexcept : dict_(dict) {
        CriticalSection guard(dict_);
        size_ = PyDict_GET_SIZE(dict_);
    }

    // 1 with `key` and `value` set, 0 at the end, -1 with RuntimeError set when
    // the dict changed size since the cursor was made.
    [[nodiscard]] int next(Ref& key, Ref& value) {
        PyObject* k = nullptr;
        PyObject* v = nullptr;
        {
            CriticalSection guard(dict_);
            if (PyDict_GET_SIZE(dict_) != size_) {
                changed_ = true;
            } else if (PyDict_Next(dict_, &pos_, &k, &v)) {
                key = Ref::borrow(k);
                value = Ref::borrow(v);
                return 1;
            }
        }
        if (!changed_) return 0;
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        return -1;
    }

private:
    PyObject* dict_;
    Py_ssize_t size_ = 0;
    Py_ssize_t pos_ = 0;
    bool changed_ = false;
};

}  // namespace vesk::py
