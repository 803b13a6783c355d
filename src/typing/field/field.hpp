// Field: one member of a structured value: a key spec (which keys it
// covers), a value spec (which values it accepts) and per-field options. The
// native entries here serve the schema drivers, the acceptance funnel and
// object construction; everything else reaches a field through its Python
// attributes, so a Python field object serves as well.
//
// State (field_state.hpp). A Field's members are read under a shared hold
// of the instance and written under an exclusive one (py/hold.hpp: each
// member function declares the hold it needs); a conflicting request fails
// at once. Its compiled FieldMeta is cached in a slot guarded by a lock of
// its own that is held only to read, replace or clear the slot, never while
// Python code runs or a record is released.
//
// The class is final: every Field is exactly of `field_type()`.
//
// Errors follow the interpreter's convention: null (or -1) with an exception
// set.
#pragma once

#include "typing/field/field_meta.hpp"

#include <cstdint>

namespace vesk::typing::field {

// The class, built on first use and shared process-wide (borrowed); null
// with an exception set when building fails.
[[nodiscard]] PyTypeObject* field_type();

// Whether `obj` is a native Field.
[[nodiscard]] bool is_field(PyObject* obj) noexcept;

// The field's compiled record: the cached one, or a new one built outside
// every lock and cached unless the field changed meanwhile. `field` must be a
// native Field.
[[nodiscard]] FieldMetaRef field_meta(PyObject* field);

// The same record without taking a share of it: the published one, borrowed
// from the field's slot, read with one
// atomic load and no hold of the field. The caller must be inside a
// `ReadSection` (meta_epoch.hpp) for as long as it uses the record. Only when a record has to be built
// does `keep` receive it (the build may lose to a concurrent change and not
// be published). Null with an exception set on failure.
[[nodiscard]] const FieldMeta* field_meta_view(PyObject* field, FieldMetaRef& keep);

// The same as `field_meta_view`, for a reader that must see the field's
// specs as they are now (a list's element, which the list asks afresh on
// every use): a published record built before the latest change to typing
// state anywhere (it may describe a spec since changed in place) is built
// again and published in its place.
[[nodiscard]] const FieldMeta* current_field_meta_view(PyObject* field, FieldMetaRef& keep);
// The same, taking a share of the record.
[[nodiscard]] FieldMetaRef current_field_meta(PyObject* field);

// Drops the field's cached record; holders keep theirs. `field` must be a
// native Field.
void invalidate_meta(PyObject* field) noexcept;

// The number of times the field's cached record was dropped, read without
// any lock: a holder of a record compares it with the value read before it
// took the record, to learn whether the field changed since. `field` must be
// a native Field.
[[nodiscard]] std::uint64_t meta_generation(PyObject* field) noexcept;

// The field's cached record, read without its lock: only for the cycle
// collector of another holder, which runs with every other thread stopped.
[[nodiscard]] const FieldMeta* cached_meta_unlocked(PyObject* field) noexcept;

// The field's value spec, read under a shared hold (a new reference).
[[nodiscard]] py::Ref field_value_spec(PyObject* field);

// The validator step of the field's `apply` alone, on a value its value spec
// made already: the validator (if any) called with it unless it is missing,
// its failure raised with the path text of `root_path` added. `field` must be
// a native Field. 0 or -1.
[[nodiscard]] int apply_validator(PyObject* field, PyObject* value, PyObject* root_path);

// The same step with the validator given (null or None for none), for a
// field of any class: its `validator` read by the caller. 0 or -1.
[[nodiscard]] int call_validator(PyObject* validator, PyObject* value, PyObject* root_path);

}  // namespace vesk::typing::field
