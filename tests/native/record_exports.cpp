// Test-only C entry points over the record cell-access layer, compiled into
// development builds of the module. Tests call them through ctypes with the
// interpreter attached; errors follow its convention (null with an
// exception set).
#include "kernel/record/slots.hpp"

#define VESK_EXPORT extern "C" __attribute__((visibility("default")))

namespace record = vesk::kernel::record;

namespace {

PyObject* flag(int r) { return r < 0 ? nullptr : vesk::py::boolean(r != 0); }

}  // namespace

VESK_EXPORT PyObject* vesk_test_record_read_field(PyObject* inst, PyObject* name) {
    return record::read_field(inst, name).release();
}

VESK_EXPORT PyObject* vesk_test_record_read_fields(PyObject* inst, PyObject* names) {
    return record::read_fields(inst, names).release();
}

VESK_EXPORT PyObject* vesk_test_record_write_fields(PyObject* inst, PyObject* names,
                                                    PyObject* values) {
    return record::write_fields(inst, names, values) ? vesk::py::none() : nullptr;
}

VESK_EXPORT PyObject* vesk_test_record_field_written(PyObject* inst, PyObject* name) {
    return flag(record::field_written(inst, name));
}

VESK_EXPORT PyObject* vesk_test_record_install_view(PyObject* inst, PyObject* view) {
    return record::install_view(inst, view).release();
}

// The installed view, or None.
VESK_EXPORT PyObject* vesk_test_record_read_view(PyObject* inst) {
    vesk::py::Ref view;
    if (!record::read_view(inst, view)) return nullptr;
    return view ? view.release() : vesk::py::none();
}

// (found, value): what the record getattro would read through `descr`.
VESK_EXPORT PyObject* vesk_test_record_read_descriptor(PyObject* obj, PyObject* descr) {
    vesk::py::Ref value;
    const int r = record::read_field_descriptor(obj, descr, value);
    if (r < 0) return nullptr;
    return Py_BuildValue("(OO)", r ? Py_True : Py_False, value ? value.get() : Py_None);
}
