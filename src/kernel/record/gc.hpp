// The cycle collector's hooks of every record type, and the two probes
// that run a type's traverse.
//
// Traverse and clear cover the kernel's cells only: from the first cell to
// the basic size of the most-derived kernel-built type, without the weak
// list head. A Python class derived from a record type visits its own
// `__slots__` (and dictionary) itself before it calls these; visiting them
// here as well would make the collector count those references twice and
// free objects that are still referenced from outside.
#pragma once

#include "py/args.hpp"

namespace vesk::kernel::record {

// `type(inst)` first, then every non-empty cell in address order.
int record_traverse(PyObject* inst, visitproc visit, void* arg) noexcept;
// Empties every cell, releasing each old value as it goes.
int record_clear(PyObject* inst) noexcept;
// Deallocation; the interpreter defers a deep chain of collected objects
// (its trashcan), so a long chain of records does not exhaust the stack.
void record_dealloc(PyObject* inst) noexcept;

// `_kernel_probe_short_circuit(obj)` and `_kernel_probe_traverse_visits(obj)`,
// and their parameters, which their docstrings show.
extern py::Params<1> kProbeShortCircuitParams;
extern py::Params<1> kProbeVisitsParams;
PyObject* probe_short_circuit(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);
PyObject* probe_traverse_visits(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);

}  // namespace vesk::kernel::record
