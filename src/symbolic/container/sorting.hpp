// A list being sorted: the interpreter's sort takes the items out of the
// list's storage while it runs (its key function may run any Python code,
// and other threads see the list empty meanwhile) and puts back what it
// sorted at the end, so an item stored into the list meanwhile would be
// lost, a removal would find nothing, and a sort would refuse to finish. A
// sort marks its list for its whole run, and every write checks the mark
// under the list's lock before it reads or stores: a write that meets a
// sort fails at once with the borrow flag's refusal, having changed
// nothing.
#pragma once

#include "py/layout.hpp"
#include "symbolic/container/state.hpp"
#include "symbolic/slots.hpp"

namespace vesk::symbolic {

// Whether a sort runs over the list now, with the refusal raised: under the
// list's critical section where the answer must hold for a store made in
// it; a write also asks first, without it, so that it fails at once rather
// than on what the emptied list shows it.
[[nodiscard]] inline bool refused_by_sort(PyObject* list) noexcept {
    if (!py::state<ListState>(list).sorting.on.load(std::memory_order_relaxed)) return false;
    py::raise_mutably_borrowed();
    return true;
}

// Marks the list for a sort: false with the refusal when one runs already.
// Under the list's critical section.
[[nodiscard]] inline bool begin_sort(PyObject* list) noexcept {
    if (refused_by_sort(list)) return false;
    py::state<ListState>(list).sorting.on.store(true, std::memory_order_relaxed);
    return true;
}

// Under the list's critical section.
inline void end_sort(PyObject* list) noexcept {
    py::state<ListState>(list).sorting.on.store(false, std::memory_order_relaxed);
}

// The list's length, read in one critical section with the sort's mark, so
// that a write meeting a sort fails with the refusal rather than with what
// the emptied list shows it. -1 with the refusal.
[[nodiscard]] inline Py_ssize_t length_unless_sorting(PyObject* list) noexcept {
    py::CriticalSection section(list);
    if (refused_by_sort(list)) return -1;
    return PyList_GET_SIZE(list);
}

// The item at `index` (negative: from the end) and its position, read in
// one critical section with the list's length and the sort's mark, so that
// an index from the end names the item that is last when it is read, not
// one another thread's insertion or removal moved there since. 1 found; 0
// out of range, with the length in `n`; -1 with the refusal.
[[nodiscard]] inline int item_at_index(PyObject* list, std::int64_t index, Py_ssize_t& n,
                                       Py_ssize_t& pos, py::Ref& item) noexcept {
    py::CriticalSection section(list);
    if (refused_by_sort(list)) return -1;
    n = PyList_GET_SIZE(list);
    if (index < -n || index >= n) return 0;
    pos = static_cast<Py_ssize_t>(index < 0 ? index + n : index);
    item = py::Ref::borrow(PyList_GET_ITEM(list, pos));
    return 1;
}

// The list's conditional store (slots.hpp), refused while a sort runs.
[[nodiscard]] inline StoreOutcome sym_list_store_if(PyObject* storage, SlotKey slot,
                                                    PyObject* expected, PyObject* value,
                                                    py::Ref& now) {
    py::CriticalSection section(storage);
    if (refused_by_sort(storage)) return StoreOutcome::Error;
    return list_store_locked(storage, slot, expected, value, now);
}

}  // namespace vesk::symbolic
