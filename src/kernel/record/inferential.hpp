// Inferential values: values whose class defines `infer`, resolved against
// the symbolic tree when a field holding one is read. Shared by the record
// field read, the native getattro slots and the object field reads.
#pragma once

#include "py/python.hpp"

#include <cstddef>

namespace vesk::kernel::record {

// Whether `type` defines `infer` (a lookup of the interned name through the
// MRO, no instance attributes). Never fails: when the name cannot be made,
// the answer is false and the error is dropped.
[[nodiscard]] bool type_defines_infer(PyTypeObject* type) noexcept;

// Raises the error for an inferential value read from field `name` of
// `obj`, whose class was declared with `topo=False`: the exception that the
// object bridge's `symbolic_mode_error` makes for "contextual attribute
// `{name}` requires a symbolic tree, but {type name} was declared with
// `topo=False`. ...". Always returns null.
// Defined by the object layer, which owns that bridge
// (symbolic/object/records/contextual_error.cpp).
std::nullptr_t raise_contextual_attribute_error(PyObject* obj, PyObject* name);

}  // namespace vesk::kernel::record
