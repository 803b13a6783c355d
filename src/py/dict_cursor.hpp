// Stepwise iteration over a dict that Python code may change between steps.
// Each step runs under the dict's lock and hands out new references, so the
// caller processes the entry (comparisons, recursion, stores elsewhere) with
// no lock held. A change of size between steps, or more entries than the dict
// held at the start (keys replaced behind the cursor), fails like the
// interpreter's own dict iterator; so does a new table under the same size
// (deletes and inserts that made the dict compact itself), after which the
// cursor's position would skip entries or repeat them. A walk that must see
// every entry once whatever other threads do takes a DictSnapshot instead.
#pragma once

#include "py/critical_section.hpp"

namespace vesk::py {

class DictCursor {
public:
    explicit DictCursor(PyObject* dict) noexcept : dict_(dict) {
        CriticalSection guard(dict_);
        size_ = remaining_ = PyDict_GET_SIZE(dict_);
        table_ = table_of(dict_);
    }

    // 1 with `key` and `value` set, 0 at the end, -1 with RuntimeError set when
    // the dict changed size or keys since the cursor was made.
    [[nodiscard]] int next(Ref& key, Ref& value) {
        // The previous entry is released first, with no lock held: it may be
        // the last reference, and its finaliser may change the dict.
        key.reset();
        value.reset();
        PyObject* k = nullptr;
        PyObject* v = nullptr;
        const char* changed = nullptr;
        {
            CriticalSection guard(dict_);
            if (PyDict_GET_SIZE(dict_) != size_) {
                changed = "dictionary changed size during iteration";
            } else if (table_of(dict_) != table_) {
                changed = "dictionary keys changed during iteration";
            } else if (PyDict_Next(dict_, &pos_, &k, &v)) {
                if (remaining_ == 0) {
                    changed = "dictionary keys changed during iteration";
                } else {
                    --remaining_;
                    key = Ref::borrow(k);
                    value = Ref::borrow(v);
                    return 1;
                }
            }
        }
        if (!changed) return 0;
        PyErr_SetString(PyExc_RuntimeError, changed);
        return -1;
    }

private:
    // The dict's table of keys: replaced whenever the dict resizes or is
    // cleared. Two resizes between steps may give the new table the old one's
    // address, and an instance dict sharing its class's keys reorders in
    // place: both go unseen here (see DictSnapshot).
    [[nodiscard]] static const void* table_of(PyObject* dict) noexcept {
        return reinterpret_cast<PyDictObject*>(dict)->ma_keys;
    }

    PyObject* dict_;
    const void* table_ = nullptr;
    Py_ssize_t size_ = 0;
    Py_ssize_t remaining_ = 0;
    Py_ssize_t pos_ = 0;
};

}  // namespace vesk::py
