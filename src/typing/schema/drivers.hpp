// The building blocks with which `Schema.apply`, the open plan and object
// construction process one dictionary against a schema: the calls into
// fields and value specs by attribute name (so Python subclasses and
// pure-Python fields are honoured), the filling of a missing key, the road
// of one present value, one constant field of a fast road, key resolution,
// the two key checks and the validation of a construct's keyword dict.
//
// No driver takes a lock of its own. Lists are read one item at a time
// under their critical section, dictionaries one step at a time through
// DictCursor, and no critical section is held while Python code runs.
//
// Errors follow the interpreter's convention: a null Ref, false or -1 means
// an exception is set; every error of a call into Python passes through
// unchanged.
#pragma once

#include "py/ref.hpp"
#include "typing/field/field_meta.hpp"
#include "typing/schema/schema.hpp"

namespace vesk::typing::schema {

// The per-call application context. `root_path` is borrowed; null = none.
struct ApplyCtx {
    PyObject* root_path = nullptr;
    bool allow_partial = false;
    // Child applies get None as their root path instead of the child's path.
    bool no_child_paths = false;
    // A transform called on an accepted container gets the child's path;
    // when clear, a new empty key path.
    bool child_paths_for_transform = true;
};

// The options of one present value's road. `transform` is borrowed.
struct FunnelOpts {
    PyObject* transform = nullptr;
    // A present value is kept as it is, without any apply.
    bool skip_validation = false;
    bool inplace = true;
    // Stands in for a field's `symbolic` flag when that flag is unset.
    bool symbolic_default = true;
};

// None or a value whose exact class is int, float, str, bool or bytes.
[[nodiscard]] bool is_scalar_value(PyObject* value) noexcept;

// field.apply(value, allow_partial=, transform_fn=, root_path=, inplace=).
// A null `transform` or `root_path` is passed as None.
[[nodiscard]] py::Ref call_field_apply(PyObject* field, PyObject* value, bool allow_partial,
                                       PyObject* transform, PyObject* root_path, bool inplace);

// The value for a key that the dictionary lacks: the value spec's default
// applied at the child path when the field validates, else the bridge's
// `default_without_apply` result as it is.
[[nodiscard]] py::Ref missing_fill(bool validate, PyObject* field, PyObject* value_spec,
                                   bool allow_partial, PyObject* transform, PyObject* key,
                                   PyObject* root_path, bool inplace);

// The value to store for one present value, with its scalar flag.
struct FieldValue {
    py::Ref value;
    bool scalar = false;
};
[[nodiscard]] bool funnel_field_value(PyObject* field, const field::FieldMeta& meta,
                                      PyObject* key, PyObject* value, const ApplyCtx& ctx,
                                      const FunnelOpts& opts, FieldValue& out);

// Writes `value`, which `field` applied under `allow_partial`, under `key`
// unless `d` already holds that very object there; a new key is written through `d`'s item
// assignment. A mapping that is not a dict (or subclass) and already holds
// `key` is refused with the conversion TypeError, since its held value
// cannot be read without `__getitem__`. 0, or -1 with an exception set.
[[nodiscard]] int schema_set_if_changed(PyObject* d, PyObject* key, PyObject* value,
                                        PyObject* field, bool allow_partial);

// Applies one constant field of a fast road: reads `source` (a dict or
// subclass) without `__getitem__`, and writes the result into `target`.
// `ran_code`, when given, is set when deciding the value may have run Python
// code (anything but the funnel's pure tier or a field that does not
// validate), and never cleared.
[[nodiscard]] int apply_const_field_inplace(PyObject* target, PyObject* source, PyObject* field,
                                            const ApplyCtx& ctx, bool inplace,
                                            bool* ran_code = nullptr);

// Key resolution: `claimed` maps each key spec, in declaration order, to
// the list of keys it claims; `unclaimed` lists the keys no field claims.
// `schema` is the state of a schema the caller holds.
[[nodiscard]] bool resolve_inner(const SchemaState& schema, PyObject* keys, py::Ref& claimed,
                                 py::Ref& unclaimed);

// KeyError "Keys [...] are not allowed in Schema. (parent='...')" for the
// keys of `d` not in `allowed`. The keys are listed sorted when they compare
// with each other, else in the dictionary's order. 0, or -1.
[[nodiscard]] int raise_if_extra_keys(PyObject* allowed, PyObject* d, PyObject* root_path);
// Sets that KeyError for the list `keys` as given.
void raise_disallowed_keys(PyObject* keys, PyObject* root_path);

// The required constant keys `d` (a dict or subclass) lacks, as a list.
[[nodiscard]] py::Ref missing_required_keys(PyObject* schema, PyObject* d, bool symbolic_default);

// Validates a construct's keyword dict into a new dict of field values.
struct ConstructArgs {
    bool allow_partial = false;
    PyObject* transform = nullptr;
    PyObject* root_path = nullptr;
    bool symbolic_default = true;
    bool skip_validation = false;
    bool no_child_paths = false;
    bool child_paths_for_transform = true;
};
struct Validated {
    py::Ref fields;
    bool all_scalar = true;
};
[[nodiscard]] bool validate_fields_native(PyObject* schema, PyObject* source,
                                          const ConstructArgs& args, Validated& out);
// The value that construct validation stores for the constant field `f`
// (its record `fm`, its key `key`) when the keyword dict lacks it: its
// default (handed to the transform when it comes from a factory), or under
// allow_partial the field's apply of the missing value. `stored` stays null
// when the field is left out; `scalar` is set with a stored value. False
// with an exception set.
[[nodiscard]] bool missing_field_value(PyObject* f, const field::FieldMeta& fm, PyObject* key,
                                       const ConstructArgs& args, py::Ref& stored, bool& scalar);

// The native `Schema.apply`: returns the applied dictionary. Takes the
// schema's shared borrow for the call. `respect_raw_storage` is a tri-state.
[[nodiscard]] py::Ref schema_apply_native(PyObject* schema, PyObject* dict_obj,
                                          bool allow_partial, PyObject* child_transform,
                                          PyObject* root_path, Tri respect_raw_storage,
                                          bool inplace);

// Calls `schema.apply(value, allow_partial=, child_transform=, root_path=,
// inplace=)` by attribute name, so a Python subclass or a pure-Python
// schema is honoured. A null transform or root path is passed as None.
[[nodiscard]] py::Ref schema_apply(PyObject* schema, PyObject* value, bool allow_partial,
                                   PyObject* child_transform, PyObject* root_path, bool inplace);

// --- the open plan ----------------------------------------------------------------

// The plan of `meta` when it has one and every key of `d` (a dict or
// subclass) is a str; else null. Never fails; runs no Python code.
[[nodiscard]] const OpenSchemaPlan* open_plan_for(const SchemaMeta& meta, PyObject* d);

// The open road of `Schema.apply` over `d`, an exact dict. 0, or -1.
[[nodiscard]] int apply_open_road(const OpenSchemaPlan& plan, PyObject* d, const ApplyCtx& ctx,
                                  bool inplace);

// The open road of a construct: a new dict ordered constants before the
// wildcard, constants after it, then the wildcard's keys in source order.
[[nodiscard]] bool validate_fields_open(const OpenSchemaPlan& plan, PyObject* source,
                                        const ApplyCtx& ctx, PyObject* transform,
                                        bool symbolic_default, Validated& out);

}  // namespace vesk::typing::schema
