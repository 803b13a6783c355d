// RAII over the interpreter's per-object critical sections. On builds with
// the global lock these compile to almost nothing; on the free-threaded build
// they lock the object. Never hold one across a call into Python code.
#pragma once

#include "py/ref.hpp"

namespace vesk::py {

#ifdef Py_GIL_DISABLED
class CriticalSection {
public:
    explicit CriticalSection(PyObject* obj) noexcept { PyCriticalSection_Begin(&cs_, obj); }
    ~CriticalSection() { PyCriticalSection_End(&cs_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

private:
    PyCriticalSection cs_;
};

class CriticalSection2 {
public:
    CriticalSection2(PyObject* a, PyObject* b) noexcept { PyCriticalSection2_Begin(&cs_, a, b); }
    ~CriticalSection2() { PyCriticalSection2_End(&cs_); }
    CriticalSection2(const CriticalSection2&) = delete;
    CriticalSection2& operator=(const CriticalSection2&) = delete;

private:
    PyCriticalSection2 cs_;
};
#else
// With the global lock the interpreter leaves the section types incomplete:
// the lock already serialises every object access.
class CriticalSection {
public:
    explicit CriticalSection(PyObject*) noexcept {}
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
};

class CriticalSection2 {
public:
    CriticalSection2(PyObject*, PyObject*) noexcept {}
    CriticalSection2(const CriticalSection2&) = delete;
    CriticalSection2& operator=(const CriticalSection2&) = delete;
};
#endif

// Item `i` of a list read under the list's lock: the index is checked against
// the length at that moment. Null (without an exception) when out of range.
// Callers iterating a list that Python code may change use this per item and
// process the item after the lock is released.
[[nodiscard]] inline Ref list_item(PyObject* list, Py_ssize_t i) noexcept {
    CriticalSection guard(list);
    if (i < 0 || i >= PyList_GET_SIZE(list)) return {};
    return Ref::borrow(PyList_GET_ITEM(list, i));
}

// Where `item` sits in `list` now, by identity, read under the list's lock;
// -1 when the list does not hold it.
[[nodiscard]] inline Py_ssize_t list_position(PyObject* list, PyObject* item) noexcept {
    CriticalSection guard(list);
    const Py_ssize_t n = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyList_GET_ITEM(list, i) == item) return i;
    return -1;
}

}  // namespace vesk::py
