#include "symbolic/object/record_node.hpp"

#include "kernel/record/slots.hpp"
#include "py/critical_section.hpp"
#include "py/named.hpp"
#include "symbolic/object/object_state.hpp"

namespace vesk::symbolic::object {

namespace record = kernel::record;

namespace {

// The first name of the class's `__slot_field_names__` in `out` (null when
// the class has none). False with an exception.
bool first_init_field(PyObject* inst, py::Ref& out) {
    py::Ref names;
    if (py::get_optional_attr<"__slot_field_names__">(py::class_of(inst), names) < 0) return false;
    out.reset();
    if (!names) return true;
    if (PyList_Check(names.get())) {
        out = py::list_item(names.get(), 0);
        return true;
    }
    const Py_ssize_t n = PyObject_Length(names.get());
    if (n < 0) return false;
    if (n > 0) out = py::Ref::steal(PySequence_GetItem(names.get(), 0));
    return n == 0 || out;
}

}  // namespace

int record_is_blank(PyObject* inst) {
    const record::RecordLayout* layout = record::require_record(inst);
    if (!layout) return -1;
    py::Ref first;
    if (!first_init_field(inst, first)) return -1;
    if (first) {
        const int written = record::field_written(inst, first.get());
        return written < 0 ? -1 : !written;
    }
    if (layout->reserved == 0 || layout->root_reserved <= record::kRoleAllowPartial) return 0;
    py::Ref allow_partial;
    if (!record::get_role(inst, record::kRoleAllowPartial, allow_partial)) return -1;
    return !allow_partial;
}

int record_read_guard(PyObject* inst) {
    const int blank = record_is_blank(inst);
    if (blank > 0) raise_not_initialised(inst);
    return blank == 0 ? 0 : -1;
}

bool record_symbolic_children(PyObject* inst, NamedValues& out) {
    py::Ref names = py::get_attr<"__slot_symbolic_field_names__">(py::class_of(inst));
    if (!names) return false;
    py::Ref values = record::read_fields(inst, names.get());
    if (!values) return false;
    // A dict made here, seen by no other thread.
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(values.get(), &pos, &key, &value))
        out.emplace_back(py::Ref::borrow(key), py::Ref::borrow(value));
    return true;
}

}  // namespace vesk::symbolic::object
