// Record cell access: the one way native code reads and writes the cells of
// a record instance (record construction and materialisation, the
// node-state interface over objects and records, the JSON walk, the record
// getattro).
//
// Contract
// - A record is an instance of a type the kernel built (`_kernel_make_record`,
//   `_kernel_make_record_subtype`) or of a class derived from one. That is
//   decided natively (layout.hpp), never by the type's attributes: every
//   function here refuses any other object with TypeError "slot record:
//   '{type}' object is not an inline-slot record" before it touches memory.
// - Roles 0..7 are the cells of the hierarchy's root record: role r lies at
//   object_basicsize + 8r. A role of 8 or more raises RuntimeError "slot
//   record: node-state role {} out of range (0..8; ...)"; a role beyond the
//   root's reserved cells (a probe record with fewer cells, a record without
//   node state) raises TypeError. An empty cell reads as null (no error).
// - Field cells are found through `type(inst).__slot_field_offsets__`, read
//   afresh by each operation (its lookup error propagates; not a dict:
//   RuntimeError "... is not a dict — not an inline-slot Record"). A name
//   absent from the map raises RuntimeError "slot record: field "{}" is not
//   in the Record's inline-slot layout". The map can be rewritten from
//   Python, so each offset is checked against the kernel's own layout: one
//   that is not 8-aligned or lies outside the field cells of the
//   most-derived kernel-built type (node-state roles and the weak-list head
//   included) raises TypeError.
// - Each cell access takes `inst`'s critical section for that one cell; no
//   Python code runs inside it, and a replaced value is released after the
//   section ends. Install-if-empty tests and stores in one section, so
//   racing first uses agree on one occupant.
// - Values are stored as given: nothing is validated, adopted or notified.
//
// All functions return null / false / -1 with an exception set on failure.
#pragma once

#include "kernel/record/layout.hpp"

#include <cstdint>
#include <span>

namespace vesk::kernel::record {

// --- recognition ------------------------------------------------------------

// The layout of the record `inst` (borrowed, lives for the process), or
// null without an exception for any other object.
[[nodiscard]] const RecordLayout* layout_of(PyObject* inst) noexcept;
[[nodiscard]] inline bool is_record(PyObject* inst) noexcept { return layout_of(inst) != nullptr; }
// The same, raising the "not an inline-slot record" TypeError.
[[nodiscard]] const RecordLayout* require_record(PyObject* inst);

// --- node-state roles -------------------------------------------------------

// The occupant of role `role` in `out` (null when empty).
[[nodiscard]] bool get_role(PyObject* inst, std::uint64_t role, py::Ref& out);
// Stores `value` (null empties the cell).
[[nodiscard]] bool set_role(PyObject* inst, std::uint64_t role, PyObject* value);
// One role write of `set_roles`.
struct RoleWrite {
    std::uint64_t role;
    PyObject* value;  // null empties the cell
};
// Stores each value in turn, as `set_role` would, under one critical
// section; every role is checked before any is written. The replaced values
// are released after the section.
[[nodiscard]] bool set_roles(PyObject* inst, std::span<const RoleWrite> writes);
// Stores `value` only into an empty cell; answers the occupant after the
// call (the given value, or the one that was there).
[[nodiscard]] py::Ref set_role_if_absent(PyObject* inst, std::uint64_t role, PyObject* value);

// The materialised `_sym_attributes` view (role 6) of a production record:
// `out` holds it, or stays null when the record is not production-sized,
// its root reserves no view cell, or none is installed.
[[nodiscard]] bool read_view(PyObject* inst, py::Ref& out);
// Installs `view` into an empty view cell; answers the occupant, so that a
// racing materialisation returns the winner's view. Refuses a record
// without a view cell (TypeError).
[[nodiscard]] py::Ref install_view(PyObject* inst, PyObject* view);

// --- field cells ------------------------------------------------------------

// The field cells of one record, with the offsets map of its type read
// once. Use one per operation: the map is not re-read.
class FieldCells {
public:
    // Reads `type(inst).__slot_field_offsets__` and checks `inst`.
    [[nodiscard]] bool open(PyObject* inst);
    // The same with the offsets map read already (any object: a non-dict is
    // refused as by `open`), for a caller that reads it once per class while
    // the class is unchanged.
    [[nodiscard]] bool open(PyObject* inst, PyObject* map);

    // The checked byte offset of field `name`'s cell.
    [[nodiscard]] bool offset(PyObject* name, Py_ssize_t& out) const;
    // The cell's object (new reference), None when empty.
    [[nodiscard]] py::Ref read(PyObject* name) const;
    // Stores `value` (null empties the cell).
    [[nodiscard]] bool write(PyObject* name, PyObject* value) const;
    // 1 when the cell is set, 0 when empty.
    [[nodiscard]] int written(PyObject* name) const;
    // The cell's object in `out`, null when empty. 0 or -1.
    [[nodiscard]] int read_if_set(PyObject* name, py::Ref& out) const;
    // Stores `value` (null empties the cell) when the cell holds `expected`
    // (null: empty): 1 stored (what it replaced in `now`), 0 when it holds
    // another (then in `now`), -1.
    [[nodiscard]] int write_if(PyObject* name, PyObject* expected, PyObject* value,
                               py::Ref& now) const;

private:
    PyObject* inst_ = nullptr;
    py::Ref map_;
    const RecordLayout* layout_ = nullptr;
};

// Single field read: the cell's object, None when empty.
[[nodiscard]] py::Ref read_field(PyObject* inst, PyObject* name);
// A new dict with one entry per name of the list `names`, in order: the
// cell's object or None. The first failing name aborts.
[[nodiscard]] py::Ref read_fields(PyObject* inst, PyObject* names);
// For each name of the list `names`, in order, that the dict `values` has
// an entry for: stores the entry into the name's cell. Names without an
// entry are left untouched (and need not be in the map).
[[nodiscard]] bool write_fields(PyObject* inst, PyObject* names, PyObject* values);
// 1 when field `name`'s cell is set, 0 when empty.
[[nodiscard]] int field_written(PyObject* inst, PyObject* name);

// --- field descriptors ------------------------------------------------------

// For the record getattro: when `descr` is a field getset of a kernel-built
// record type, reads that field of `obj` as an attribute read does (view
// preference, empty-cell errors, inferential resolution) into `out` and
// answers 1; answers 0 for any other object (nothing read). `obj` must be
// an instance of the descriptor's type, else TypeError (the interpreter's
// "descriptor ... doesn't apply to ..." wording); -1 on any failure.
[[nodiscard]] int read_field_descriptor(PyObject* obj, PyObject* descr, py::Ref& out);

}  // namespace vesk::kernel::record
