// Native answers for questions the symbolic write paths otherwise ask
// through Python attribute reads and calls. Each one answers only where the
// object is of a final native class (or exactly the native class), whose
// Python attribute would give the same answer; anywhere else the caller asks
// through Python as before.
#pragma once

#include "py/ref.hpp"
#include "symbolic/bridge.hpp"
#include "typing/field/field_meta.hpp"

namespace vesk::symbolic {

// The `schema` of a native Dict spec (null for None): true with `out` set,
// false when `spec` is not one (nothing set) or on error (`ok` false).
[[nodiscard]] bool native_dict_spec_schema(PyObject* spec, py::Ref& out, bool& ok);

// `schema.get_field(key)`: the native getter for an exact Schema, else the
// method call. A new reference (None for no field), or null on error.
[[nodiscard]] py::Ref schema_field(PyObject* schema, PyObject* key);

// The declared `assign` of a native Field (null for none), read under its
// shared hold: true with `out` set; false when `field` is not a native Field
// (nothing set) or on error (`ok` false).
[[nodiscard]] bool native_field_assign(PyObject* field, py::Ref& out, bool& ok);

// Whether `field` governs a non-constant key: `isinstance(field.key,
// nonconst_key_cls)`. 1, 0 or -1.
[[nodiscard]] int has_nonconst_key(const ContainerBridge& b, PyObject* field);

// Whether the bridge's missing value is the native one, whose comparisons
// run no Python code.
[[nodiscard]] bool native_missing(const ContainerBridge& b) noexcept;

// `missing_value == value` (then its truth): a primitive value never equals
// the native missing value. 1, 0 or -1.
[[nodiscard]] int equals_missing(const ContainerBridge& b, PyObject* value);

// Whether a native Field keeps the primitive `value` unchanged without its
// `apply`: its validation is off, or its compiled metadata accepts the value
// as it is. With `current`, only a record compiled from the field's specs as
// they are now answers (a list's element, typing/field/field.hpp:
// current_field_meta_view). 1 kept, 0 undecided (ask the field), -1 error.
[[nodiscard]] int native_field_keeps(PyObject* field, PyObject* value, bool current = false);
// The same answer from the field's compiled record `meta`; runs no Python
// code.
[[nodiscard]] int meta_keeps(const typing::field::FieldMeta& meta, PyObject* value);

}  // namespace vesk::symbolic
