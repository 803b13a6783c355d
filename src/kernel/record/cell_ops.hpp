// One cell access under the instance's critical section: the three
// primitives every read and write of a record cell goes through. The
// caller has checked that `offset` is a cell of `inst`'s layout.
#pragma once

#include "kernel/record/layout.hpp"
#include "py/critical_section.hpp"

namespace vesk::kernel::record {

// The cell's occupant (null when empty).
[[nodiscard]] inline py::Ref load_cell(PyObject* inst, Py_ssize_t offset) {
    py::CriticalSection guard(inst);
    return py::Ref::borrow(*cell_at(inst, offset));
}

// Stores `value` (null empties the cell) and hands back the previous
// occupant, which the caller releases after the section has ended.
[[nodiscard]] inline py::Ref swap_cell(PyObject* inst, Py_ssize_t offset, PyObject* value) {
    py::Ref incoming = py::Ref::borrow(value);
    py::CriticalSection guard(inst);
    PyObject** cell = cell_at(inst, offset);
    py::Ref old = py::Ref::steal(*cell);
    *cell = incoming.release();
    return old;
}

// Stores `value` (null empties the cell) when the cell holds `expected`
// (null: empty): true, with the previous occupant in `now`, for the caller to
// release after the section. False when it holds another, then in `now`.
[[nodiscard]] inline bool swap_cell_if(PyObject* inst, Py_ssize_t offset, PyObject* expected,
                                       PyObject* value, py::Ref& now) {
    py::Ref incoming = py::Ref::borrow(value);
    py::CriticalSection guard(inst);
    PyObject** cell = cell_at(inst, offset);
    if (*cell != expected) {
        now = py::Ref::borrow(*cell);
        return false;
    }
    now = py::Ref::steal(*cell);
    *cell = incoming.release();
    return true;
}

// Stores `value` into an empty cell; answers the occupant afterwards.
[[nodiscard]] inline py::Ref install_if_empty(PyObject* inst, Py_ssize_t offset, PyObject* value) {
    py::CriticalSection guard(inst);
    PyObject** cell = cell_at(inst, offset);
    if (!*cell) *cell = py::Ref::borrow(value).release();
    return py::Ref::borrow(*cell);
}

}  // namespace vesk::kernel::record
