// The getset entries of record types: one per own field (closure: the
// field's SlotFieldMeta) and the `__weakref__` entry of production roots.
#pragma once

#include "kernel/record/layout.hpp"

namespace vesk::kernel::record {

// The entry of one own field; `name` and `meta` live for the process.
[[nodiscard]] PyGetSetDef field_getset(const char* name, SlotFieldMeta* meta) noexcept;
// `__weakref__`: the head of the instance's weak-reference list, or None.
[[nodiscard]] PyGetSetDef weakref_getset() noexcept;

// The field meta of a getset entry made by `field_getset`, else null.
[[nodiscard]] SlotFieldMeta* field_meta_of(const PyGetSetDef* def) noexcept;

// An attribute read of the field: the view's entry when the record is
// materialised, else the cell; then the empty-cell errors and the
// inferential resolution. `obj` must have the field's layout.
[[nodiscard]] py::Ref read_field_value(PyObject* obj, const SlotFieldMeta& meta);

}  // namespace vesk::kernel::record
