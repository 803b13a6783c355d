// The native facts of the record types the kernel builds at run time.
//
// A record instance is the object header followed by pointer-wide cells,
// each holding a strong reference or empty: the root record's reserved
// cells (node-state roles, then the weak-reference list head of a
// production record), its field cells, then each subtype's own reserved
// and field cells. Python classes that derive from a record type may add
// `__slots__` of their own after the kernel's cells.
//
// Whether a type was built by the kernel is decided by a mark that only the
// builders set, never by a Python attribute: a type's attributes can be
// rewritten, and a class that merely defines `__slot_field_offsets__` must
// not have its instances' memory addressed as cells. Every kernel-built
// type keeps its `RecordType` for the life of the process (its getset
// descriptors point into it).
#pragma once

#include "kernel/record/roles.hpp"
#include "py/ref.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vesk::kernel::record {

inline constexpr Py_ssize_t kCellSize = 8;
// Node-state roles (roles.hpp) live in the root record's reserved cells.
// A production record reserves the eight roles and the weak-list head.
inline constexpr Py_ssize_t kProductionReserved = 9;

static_assert(sizeof(PyObject*) == kCellSize, "cells are one pointer wide");

// How a type's reserved count shapes its records: none (no node state),
// probe (1 to 8 cells: roles only), production (9 or more).
enum class Mode : std::uint8_t { None = 0, Probe = 1, Production = 2 };
[[nodiscard]] constexpr Mode mode_for(std::uint64_t reserved) noexcept {
    return reserved == 0 ? Mode::None
           : reserved < static_cast<std::uint64_t>(kProductionReserved) ? Mode::Probe
                                                                         : Mode::Production;
}

enum class FieldKind : std::uint8_t { Symbolic = 0, NonSymbolic = 1 };

// One own field of a record type: the closure of its getset entry. The two
// baked flags are written by the package's class creation while other
// threads may already read them, hence atomic.
struct SlotFieldMeta {
    Py_ssize_t offset = 0;  // byte offset of the field cell
    py::Ref name;           // interned
    Mode mode = Mode::None;
    // Reads prefer the materialised view: a production record whose
    // root reserves the view role.
    bool view = false;
    std::atomic<bool> enable_topo{true};
    std::atomic<FieldKind> kind{FieldKind::Symbolic};
};

// Where a record type's cells lie.
struct RecordLayout {
    Py_ssize_t basicsize = 0;        // end of the kernel's cells
    std::uint64_t reserved = 0;      // the type's total reserved count
    std::uint64_t root_reserved = 0; // the root record's, where roles live
    Py_ssize_t field_begin = 0;      // first cell after the root's reserved region
    Py_ssize_t weaklist_offset = 0;  // the weak-list head's cell, or 0
};

// Whether records of this layout keep a materialised view: production
// sized, with the view role inside the root's reserved cells.
[[nodiscard]] constexpr bool has_view_cell(const RecordLayout& layout) noexcept {
    return mode_for(layout.reserved) == Mode::Production && layout.root_reserved > kRoleView;
}

// Everything the kernel keeps for one type it built.
struct RecordType {
    RecordLayout layout;
    std::size_t field_count = 0;
    std::unique_ptr<SlotFieldMeta[]> fields;
    std::unique_ptr<std::string[]> names;  // UTF-8 names of the getset entries
    // getsets[0] is a header entry whose closure points back here; the
    // type's `tp_getset` is &getsets[1], so the record type is found from
    // the type in one step. The interpreter only reads forward from it.
    std::unique_ptr<PyGetSetDef[]> getsets;
};

// The mark the builders give every type they make (its `Py_tp_token`).
[[nodiscard]] const void* record_token() noexcept;

// `object`'s basic size: where the first cell begins.
[[nodiscard]] inline Py_ssize_t object_basicsize() noexcept {
    return PyBaseObject_Type.tp_basicsize;
}

// The record type of `type` itself when the kernel built it, else null.
[[nodiscard]] const RecordType* own_record_type(PyTypeObject* type) noexcept;
// The most-derived kernel-built type on `type`'s layout chain (`type` and
// its `tp_base`s), else null: the cells of an instance of `type` end at its
// basic size.
[[nodiscard]] const RecordType* record_type_of(PyTypeObject* type) noexcept;

// The cell at `offset` of an instance whose layout has been checked.
[[nodiscard]] inline PyObject** cell_at(PyObject* inst, Py_ssize_t offset) noexcept {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(inst) + offset);
}
[[nodiscard]] inline Py_ssize_t role_offset(Role role) noexcept {
    return object_basicsize() + kCellSize * static_cast<Py_ssize_t>(role);
}

}  // namespace vesk::kernel::record
