#include "kernel/record/slots.hpp"

#include "kernel/record/cell_ops.hpp"
#include "kernel/record/quote.hpp"
#include "py/args.hpp"
#include "py/lazy.hpp"

#include <array>

namespace vesk::kernel::record {

namespace {

void raise_not_record(PyObject* inst) {
    py::Ref name = py::Ref::steal(PyType_GetName(Py_TYPE(inst)));
    if (name)
        PyErr_Format(PyExc_TypeError, "slot record: '%U' object is not an inline-slot record",
                     name.get());
}

// Checks `role` against the roles and against the record's own reserved
// region; answers the record's layout.
const RecordLayout* checked_role(PyObject* inst, std::uint64_t role) {
    if (role >= kRoleCount) {
        PyErr_Format(PyExc_RuntimeError,
                     "slot record: node-state role %llu out of range (0..%llu; the reserved "
                     "region's trailing cell is the CPython-owned __weakref__ list head, #452)",
                     static_cast<unsigned long long>(role),
                     static_cast<unsigned long long>(kRoleCount));
        return nullptr;
    }
    const RecordLayout* layout = require_record(inst);
    if (!layout) return nullptr;
    if (role >= layout->root_reserved) {
        py::Ref name = py::Ref::steal(PyType_GetName(Py_TYPE(inst)));
        if (name)
            PyErr_Format(PyExc_TypeError,
                         "slot record: node-state role %llu lies outside the %llu reserved "
                         "cells of '%U'",
                         static_cast<unsigned long long>(role),
                         static_cast<unsigned long long>(layout->root_reserved), name.get());
        return nullptr;
    }
    return layout;
}

}  // namespace

const RecordLayout* layout_of(PyObject* inst) noexcept {
    const RecordType* record = record_type_of(Py_TYPE(inst));
    return record ? &record->layout : nullptr;
}

const RecordLayout* require_record(PyObject* inst) {
    const RecordLayout* layout = layout_of(inst);
    if (!layout) raise_not_record(inst);
    return layout;
}

// --- roles ----------------------------------------------------------------------

bool get_role(PyObject* inst, std::uint64_t role, py::Ref& out) {
    if (!checked_role(inst, role)) return false;
    out = load_cell(inst, role_offset(role));
    return true;
}

bool set_role(PyObject* inst, std::uint64_t role, PyObject* value) {
    if (!checked_role(inst, role)) return false;
    (void)swap_cell(inst, role_offset(role), value);
    return true;
}

bool set_roles(PyObject* inst, std::span<const RoleWrite> writes) {
    constexpr std::size_t kMax = kRoleCount;
    if (writes.size() > kMax) {
        PyErr_SetString(PyExc_RuntimeError, "slot record: too many role writes at once");
        return false;
    }
    const RecordLayout* layout = require_record(inst);
    if (!layout) return false;
    // The writes before the first role this record lacks are made, as one
    // by one they would be; that role then raises its error.
    std::size_t valid = 0;
    while (valid < writes.size() && writes[valid].role < kRoleCount &&
           writes[valid].role < layout->root_reserved)
        ++valid;
    std::array<py::Ref, kMax> incoming;
    std::array<py::Ref, kMax> replaced;
    for (std::size_t i = 0; i < valid; ++i) incoming[i] = py::Ref::borrow(writes[i].value);
    {
        py::CriticalSection guard(inst);
        for (std::size_t i = 0; i < valid; ++i) {
            PyObject** cell = cell_at(inst, role_offset(writes[i].role));
            replaced[i] = py::Ref::steal(*cell);
            *cell = incoming[i].release();
        }
    }
    for (py::Ref& r : replaced) r.reset();
    if (valid == writes.size()) return true;
    (void)checked_role(inst, writes[valid].role);  // raises for that role
    return false;
}

py::Ref set_role_if_absent(PyObject* inst, std::uint64_t role, PyObject* value) {
    if (!checked_role(inst, role)) return {};
    return install_if_empty(inst, role_offset(role), value);
}

bool read_view(PyObject* inst, py::Ref& out) {
    const RecordLayout* layout = require_record(inst);
    if (!layout) return false;
    out.reset();
    if (has_view_cell(*layout)) out = load_cell(inst, role_offset(kRoleView));
    return true;
}

py::Ref install_view(PyObject* inst, PyObject* view) {
    const RecordLayout* layout = require_record(inst);
    if (!layout) return {};
    if (!has_view_cell(*layout)) {
        py::Ref name = py::Ref::steal(PyType_GetName(Py_TYPE(inst)));
        if (name)
            PyErr_Format(PyExc_TypeError, "slot record: '%U' has no view cell (%llu reserved cells)",
                         name.get(), static_cast<unsigned long long>(layout->reserved));
        return {};
    }
    return install_if_empty(inst, role_offset(kRoleView), view);
}

// --- field cells ----------------------------------------------------------------

bool FieldCells::open(PyObject* inst) {
    py::Ref map =
        py::get_attr<"__slot_field_offsets__">(reinterpret_cast<PyObject*>(Py_TYPE(inst)));
    return map && open(inst, map.get());
}

bool FieldCells::open(PyObject* inst, PyObject* map) {
    inst_ = inst;
    map_ = py::Ref::borrow(map);
    if (!PyDict_Check(map_.get())) {
        PyErr_SetString(PyExc_RuntimeError,
                        "slot record: `__slot_field_offsets__` is not a dict \xe2\x80\x94 not an "
                        "inline-slot Record");
        return false;
    }
    layout_ = require_record(inst);
    return layout_ != nullptr;
}

bool FieldCells::offset(PyObject* name, Py_ssize_t& out) const {
    PyObject* raw = nullptr;
    if (PyDict_GetItemRef(map_.get(), name, &raw) < 0) return false;
    py::Ref entry = py::Ref::steal(raw);
    if (!entry) {
        py::Ref quoted = quoted_name(name);
        if (quoted)
            PyErr_Format(PyExc_RuntimeError,
                         "slot record: field %U is not in the Record's inline-slot layout",
                         quoted.get());
        return false;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(entry.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    const auto begin = static_cast<unsigned long long>(layout_->field_begin);
    const auto end = static_cast<unsigned long long>(layout_->basicsize);
    if (value < begin || value > end - kCellSize || value % kCellSize != 0) {
        py::Ref quoted = quoted_name(name);
        py::Ref type_name = py::Ref::steal(PyType_GetName(Py_TYPE(inst_)));
        if (quoted && type_name)
            PyErr_Format(PyExc_TypeError,
                         "slot record: field %U has offset %llu, which is not a field cell of "
                         "'%U'",
                         quoted.get(), value, type_name.get());
        return false;
    }
    out = static_cast<Py_ssize_t>(value);
    return true;
}

py::Ref FieldCells::read(PyObject* name) const {
    Py_ssize_t off = 0;
    if (!offset(name, off)) return {};
    py::Ref value = load_cell(inst_, off);
    return value ? value : py::Ref::borrow(Py_None);
}

bool FieldCells::write(PyObject* name, PyObject* value) const {
    Py_ssize_t off = 0;
    if (!offset(name, off)) return false;
    (void)swap_cell(inst_, off, value);
    return true;
}

int FieldCells::written(PyObject* name) const {
    Py_ssize_t off = 0;
    if (!offset(name, off)) return -1;
    return load_cell(inst_, off) ? 1 : 0;
}

int FieldCells::read_if_set(PyObject* name, py::Ref& out) const {
    Py_ssize_t off = 0;
    if (!offset(name, off)) return -1;
    out = load_cell(inst_, off);
    return 0;
}

int FieldCells::write_if(PyObject* name, PyObject* expected, PyObject* value,
                         py::Ref& now) const {
    Py_ssize_t off = 0;
    if (!offset(name, off)) return -1;
    return swap_cell_if(inst_, off, expected, value, now) ? 1 : 0;
}

py::Ref read_field(PyObject* inst, PyObject* name) {
    FieldCells cells;
    if (!cells.open(inst)) return {};
    return cells.read(name);
}

py::Ref read_fields(PyObject* inst, PyObject* names) {
    if (!PyList_Check(names)) {
        py::raise_not_instance(names, "list");
        return {};
    }
    FieldCells cells;
    if (!cells.open(inst)) return {};
    py::Ref out = py::Ref::steal(PyDict_New());
    if (!out) return {};
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref name = py::list_item(names, i);
        if (!name) break;
        py::Ref value = cells.read(name.get());
        if (!value || PyDict_SetItem(out.get(), name.get(), value.get()) < 0) return {};
    }
    return out;
}

bool write_fields(PyObject* inst, PyObject* names, PyObject* values) {
    if (!PyList_Check(names)) {
        py::raise_not_instance(names, "list");
        return false;
    }
    if (!PyDict_Check(values)) {
        py::raise_not_instance(values, "dict");
        return false;
    }
    FieldCells cells;
    if (!cells.open(inst)) return false;
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref name = py::list_item(names, i);
        if (!name) return true;
        PyObject* raw = nullptr;
        if (PyDict_GetItemRef(values, name.get(), &raw) < 0) return false;
        py::Ref value = py::Ref::steal(raw);
        if (value && !cells.write(name.get(), value.get())) return false;
    }
}

int field_written(PyObject* inst, PyObject* name) {
    FieldCells cells;
    if (!cells.open(inst)) return -1;
    return cells.written(name);
}

}  // namespace vesk::kernel::record
