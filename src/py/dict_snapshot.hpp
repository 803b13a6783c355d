// Iteration over a dict that other threads may change between steps, for
// walks that must see every entry once. The entries are read in one locked
// step and handed out one at a time with no lock held, so the caller may run
// Python code (comparisons, recursion, stores elsewhere) between them. A
// cursor over the live table (DictCursor) cannot promise as much: deletes and
// inserts that leave the size as it was may compact the table, moving entries
// back before the cursor or past it. As with the interpreter's own iteration,
// a change of size since the snapshot fails the next step.
#pragma once

#include "py/critical_section.hpp"

#include <memory>
#include <utility>

namespace vesk::py {

class DictSnapshot {
public:
    // Throws std::bad_alloc when a large dict's entries find no room.
    explicit DictSnapshot(PyObject* dict) : dict_(dict) {
        Py_ssize_t room = kInline;
        for (;;) {
            {
                CriticalSection guard(dict);
                const Py_ssize_t n = PyDict_GET_SIZE(dict);
                if (n <= room) {
                    Py_ssize_t pos = 0;
                    PyObject* k;
                    PyObject* v;
                    while (PyDict_Next(dict, &pos, &k, &v)) {
                        items_[2 * size_] = Py_NewRef(k);
                        items_[2 * size_ + 1] = Py_NewRef(v);
                        ++size_;
                    }
                    return;
                }
                // Some room to spare, should the dict grow before the lock
                // is taken again.
                room = n + n / 8;
            }
            heap_ = std::make_unique_for_overwrite<PyObject*[]>(2 * room);
            items_ = heap_.get();
        }
    }

    ~DictSnapshot() {
        for (Py_ssize_t i = 2 * next_; i < 2 * size_; ++i) Py_DECREF(items_[i]);
    }

    DictSnapshot(const DictSnapshot&) = delete;
    DictSnapshot& operator=(const DictSnapshot&) = delete;

    // 1 with `key` and `value` set, 0 at the end, -1 with RuntimeError set when
    // the dict changed size since the snapshot.
    [[nodiscard]] int next(Ref& key, Ref& value) {
        // The previous entry is released first: it may be the last reference,
        // and its finaliser may change the dict.
        key.reset();
        value.reset();
        if (PyDict_GET_SIZE(dict_) != size_) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return -1;
        }
        if (next_ == size_) return 0;
        key = Ref::steal(std::exchange(items_[2 * next_], nullptr));
        value = Ref::steal(std::exchange(items_[2 * next_ + 1], nullptr));
        ++next_;
        return 1;
    }

private:
    // Most trie nodes fit without an allocation.
    static constexpr Py_ssize_t kInline = 8;

    PyObject* dict_;
    Py_ssize_t size_ = 0;
    Py_ssize_t next_ = 0;
    std::unique_ptr<PyObject*[]> heap_;
    PyObject* inline_[2 * kInline];
    PyObject** items_ = inline_;
};

}  // namespace vesk::py
