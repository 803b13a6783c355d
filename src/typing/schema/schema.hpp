// Schema: the ordered fields of a dictionary or of a symbolic class, keyed
// by key spec, with the metadata the hot paths read instead of rediscovering
// per value which keys are constant and where a constant key's field sits.
//
// Object layout. A Schema is `py::Object<SchemaState>`: the object header,
// the borrow flag and the SchemaState below. The class accepts Python
// subclasses, whose instances add their own `__dict__` after it; every
// native entry takes subclass instances (`is_schema`).
//
// State and holds. The members of SchemaState are read under a shared hold
// of the instance and written under an exclusive one (py/hold.hpp: each
// member function declares the hold it needs); a conflicting request fails
// at once. Only `extend` (its final store), `_recompute_caches` and the two
// name and description setters write an existing schema. The objects held
// are shared with Python as they are: the `fields` getter hands out the dict
// itself.
//
// SchemaMeta (schema_meta.hpp). The cached metadata is built by
// `compute_caches` from a fields dict, then shared by reference count
// (`SchemaMetaRef`, kept in a py::SharedRecord) and never changed: a reader
// copies the reference under a shared hold and may use the record without
// any lock for as long as it holds it. `extend` and
// `_recompute_caches` replace the record whole; holders keep the old one.
// The Python lists, dicts and tuples inside it are handed out by the getters
// themselves, so the record must not be taken as proof that they are
// unchanged; the native vectors and indexes are fixed.
//
// Version. Every store of `fields` or of the metadata moves `version` on.
// An operation that reads the state, runs Python code without a hold and
// then stores a result built from what it read (extend) checks under the
// exclusive hold that the version has not moved, so no concurrent store is
// silently overwritten.
//
// Dropping the last reference to a SchemaMeta releases Python objects, so it
// must happen on a thread attached to the interpreter and outside every lock
// that Python code could also want.
//
// The Python surface is the type's tables in schema_type.cpp; members
// implemented in other files of this directory are declared in
// schema_ops.hpp and listed in those tables.
//
// Errors follow the interpreter's convention: a null Ref or SchemaMetaRef,
// or -1, means an exception is set.
#pragma once

#include "py/borrow.hpp"
#include "py/record.hpp"
#include "py/ref.hpp"
#include "py/type.hpp"
#include "typing/field/field_meta.hpp"
#include "typing/schema/const_text_index.hpp"
#include "typing/schema/schema_meta.hpp"

#include <cstdint>

namespace vesk::typing::schema {

// --- the instance state ---------------------------------------------------------

// A schema holds field objects whose origin is often the class that holds
// the schema, so class -> schema -> field -> class cycles are common: `visit`
// makes the class GC-tracked with generated hooks (py/type.hpp), the cached
// metadata counted only while this schema is its sole holder.
struct SchemaState {
    py::Ref fields;         // dict key spec -> field, in declaration order
    py::Ref name;           // None when absent
    py::Ref description;    // None when absent
    py::Ref metadata;       // any object, a dict unless the caller gave one
    py::Ref dynamic_field;  // the first field with a non-constant key, or None
    bool allow_nonconst_keys = false;
    py::SharedRecord<SchemaMeta> meta;  // never empty once constructed
    // Moved on by every store of `fields` or `meta`.
    std::uint64_t version = 0;

    template <class V>
    void visit(V&& v) {
        v(fields);
        v(name);
        v(description);
        v(metadata);
        v(dynamic_field);
        v(meta);
    }
};

// The class, built on first use and shared process-wide (borrowed); null
// with an exception set when building fails.
[[nodiscard]] PyTypeObject* schema_type();

// Whether `obj` is a Schema (subclasses included). False before the class
// exists, since no instance can.
[[nodiscard]] bool is_schema(PyObject* obj) noexcept;

// The schema's current metadata, read under a shared hold; null with the
// borrow error while the schema is held exclusively. A caller that already
// holds the schema copies `meta.get()` of the held state.
[[nodiscard]] SchemaMetaRef schema_meta(PyObject* schema);

// --- construction, merge and caches ---------------------------------------------

// The constructor's arguments (borrowed; null = absent).
struct SchemaArgs {
    PyObject* fields = nullptr;  // required: a list or list subclass of fields
    PyObject* name = nullptr;
    PyObject* base_schema_list = nullptr;
    PyObject* description = nullptr;
    bool allow_nonconst_keys = false;
    PyObject* metadata = nullptr;
    PyObject* for_cls = nullptr;
};

// The native constructor: builds a complete schema of `type` (Schema or a
// subclass) in the fixed order of steps, or raises and makes none. Side
// effects of the callbacks it ran (origins set, forward references
// registered) stay on failure.
[[nodiscard]] py::Ref new_schema(PyTypeObject* type, const SchemaArgs& args);

// Folds `schema_list` (any iterable of objects with a `fields` dict) into one
// new native Schema: a constant key keeps its first field unless a later
// field's `origin` is a subclass of the kept one's; the first non-constant
// field met is carried and placed after every constant key.
[[nodiscard]] py::Ref merge_schemas(PyObject* schema_list, PyObject* name,
                                    PyObject* description);

// The new fields dict and metadata of merging `fields` and `metadata` over
// `base` (any object with `name`, `fields` and `metadata`) through the typing
// bridge's `make_field_merge_fn` and `topology_merge`.
struct MergedFields {
    py::Ref fields;
    py::Ref metadata;
};
[[nodiscard]] bool merge_fields(PyObject* fields, PyObject* metadata, bool allow_nonconst_keys,
                                PyObject* base, MergedFields& out);

// The first field (in dict order) whose key's `is_const` is falsy, or None.
[[nodiscard]] py::Ref detect_dynamic_field(PyObject* fields);

// Builds the metadata of a fields dict. Runs the key specs' and fields'
// attribute reads (Python code); holds no borrow of any schema.
[[nodiscard]] SchemaMetaRef compute_caches(PyObject* fields);

// The compiled FieldMeta of any field object: a native Field's own cached
// record, or a record built anew from a foreign field's `key.const_text` and
// `value` on every call.
[[nodiscard]] field::FieldMetaRef field_meta_for(PyObject* field);

// The same record for the hot paths, which use it within one call: a native
// Field's published record borrowed with one atomic load (no share taken, no
// hold of the field); a foreign field's new record, kept alive by `keep`.
// Null with an exception set on failure.
[[nodiscard]] const field::FieldMeta* field_meta_view(PyObject* field,
                                                      field::FieldMetaRef& keep);

// Whether `key` is a str whose text is one of the plan's constant texts.
// Never fails and runs no Python code.
[[nodiscard]] inline bool key_in_plan_consts(const ConstTextIndex& index, PyObject* key) noexcept {
    return !index.empty() && index.find_key(key) >= 0;
}

}  // namespace vesk::typing::schema
