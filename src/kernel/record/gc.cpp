#include "kernel/record/gc.hpp"

#include "kernel/record/layout.hpp"
#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/errors.hpp"

#include <atomic>

namespace vesk::kernel::record {

py::Params<1> kProbeShortCircuitParams{"_kernel_probe_short_circuit", {"obj"}, 1, 1};
py::Params<1> kProbeVisitsParams{"_kernel_probe_traverse_visits", {"obj"}, 1, 1};

namespace {

// Calls `fn(cell)` for each of the kernel's cells of `inst`, skipping the
// weak-list head; stops at the first nonzero answer and returns it.
template <class Fn>
int for_each_cell(PyObject* inst, Fn&& fn) noexcept {
    const RecordType* record = record_type_of(Py_TYPE(inst));
    if (!record) return 0;
    const RecordLayout& layout = record->layout;
    for (Py_ssize_t off = object_basicsize(); off + kCellSize <= layout.basicsize;
         off += kCellSize) {
        if (off == layout.weaklist_offset) continue;
        if (const int r = fn(cell_at(inst, off))) return r;
    }
    return 0;
}

int visit_stop(PyObject*, void*) noexcept { return 1; }

int visit_count(PyObject*, void* arg) noexcept {
    ++*static_cast<long long*>(arg);
    return 0;
}

// Runs `type(obj)`'s traverse under the object's critical section, so that
// cell writes on other threads do not interleave with the walk.
PyObject* run_traverse(PyObject* obj, visitproc visit, long long& count) {
    const traverseproc traverse = Py_TYPE(obj)->tp_traverse;
    if (!traverse) {
        py::raise_internal("Record types set tp_traverse");
        return nullptr;
    }
    int result = 0;
    {
        py::CriticalSection guard(obj);
        result = traverse(obj, visit, &count);
    }
    return PyLong_FromLong(result);
}

}  // namespace

int record_traverse(PyObject* inst, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(inst));
    return for_each_cell(inst, [&](PyObject** cell) {
        Py_VISIT(*cell);
        return 0;
    });
}

int record_clear(PyObject* inst) noexcept {
    (void)for_each_cell(inst, [](PyObject** cell) {
        py::Ref old = py::Ref::steal(*cell);
        *cell = nullptr;
        return 0;
    });
    return 0;
}

void record_dealloc(PyObject* inst) noexcept {
    PyTypeObject* type = Py_TYPE(inst);
    // An instance holds a reference to its heap type, dropped last.
    const py::Ref type_ref = py::Ref::steal(
        PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) ? reinterpret_cast<PyObject*>(type) : nullptr);
    PyObject_GC_UnTrack(inst);
    if (const RecordType* record = record_type_of(type)) {
        const Py_ssize_t weaklist = record->layout.weaklist_offset;
        if (weaklist > 0 &&
            std::atomic_ref<PyObject*>(*cell_at(inst, weaklist)).load(std::memory_order_acquire))
            PyObject_ClearWeakRefs(inst);
    }
    (void)record_clear(inst);
    type->tp_free(inst);
}

PyObject* probe_short_circuit(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kProbeShortCircuitParams, args, nargs, kwnames, a)) return nullptr;
    long long unused = 0;
    return run_traverse(a[0], visit_stop, unused);
}

PyObject* probe_traverse_visits(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kProbeVisitsParams, args, nargs, kwnames, a)) return nullptr;
    long long count = 0;
    py::Ref result = py::Ref::steal(run_traverse(a[0], visit_count, count));
    if (!result) return nullptr;
    return PyLong_FromLongLong(count);
}

}  // namespace vesk::kernel::record
