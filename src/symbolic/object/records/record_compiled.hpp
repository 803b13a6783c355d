// What the record `tp_init` needs to build a record of one class straight
// from its keyword arguments, read once beside the class's RecordMeta: every
// init field's shared FieldMeta in the order the init-only schema validates
// them, the field-name index, and the class objects that construction
// otherwise reads by attribute on every call.
//
// A class compiles only when its init-only schema is the native Schema with
// constant keys alone, every field is a native Field, and those keys are
// exactly the class's `__slot_field_names__` (str, no repeats). Compiling
// never raises: whatever it cannot read leaves the class uncompiled, and
// its records are then built the long way, which meets the same failure.
//
// The record is immutable once made, except for the class's type version
// tag, which is recorded after the meta is stored on the class (storing it
// changes the class). Construction uses the record only while the class
// still carries that tag, while the schema holds the very metadata compiled
// here and while no field has dropped its cached FieldMeta since; anything
// else sends it the long way.
#pragma once

#include "py/ref.hpp"
#include "typing/field/field_meta.hpp"
#include "typing/schema/schema_meta.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace vesk::symbolic::object {

// Whether the native Field `field` caches `meta`; only for the cycle
// collector, which runs with every other thread stopped.
[[nodiscard]] bool caches_meta(PyObject* field, const typing::field::FieldMeta* meta) noexcept;

struct RecordField {
    py::Ref field;                     // the native Field
    typing::field::FieldMetaRef meta;  // its record, shared with the field
    py::Ref key;                       // the constant key's text (an exact str)
    std::uint64_t generation = 0;      // the field's meta generation before `meta` was taken

    template <class V>
    void visit(V&& v) const {
        v(field);
        v(key);
        // A record held by one more holder is counted here when that holder
        // is the field's own cache: the field counts its cached record only
        // while it holds it alone, and this one holds the field, so the
        // record's references are then owned through this holder alone.
        if (meta && (meta.use_count() == 1 ||
                     (meta.use_count() == 2 && caches_meta(field.get(), meta.get()))))
            meta->visit(v);
    }
};

struct RecordCompiled {
    std::vector<RecordField> fields;      // in the schema's field order
    std::vector<Py_ssize_t> slot_order;   // per `__slot_field_names__` entry: its field
    std::vector<Py_ssize_t> symbolic;     // the symbolic field names' fields
    bool symbolic_are_fields = false;     // every symbolic field name is an init field
    py::Ref index;                        // dict: key -> position in `fields`
    // The schema's metadata when compiled, watched rather than held: it holds
    // the fields, and the schema counts it only while it holds it alone.
    std::weak_ptr<const typing::schema::SchemaMeta> schema_meta;
    py::Ref options;                      // `__sym_options__`
    py::Ref non_symbolic_fields;          // `_non_symbolic_fields`
    py::Ref post_init_is_noop;            // `_sym_post_init_is_noop`
    py::Ref offsets;                      // `__slot_field_offsets__` (a dict)
    // The class's version tag once the meta is stored; 0 until then, or
    // when the interpreter could not give the class one.
    mutable std::atomic<unsigned int> type_tag{0};

    template <class V>
    void visit(V&& v) const {
        for (const RecordField& f : fields) f.visit(v);
        v(index);
        v(options);
        v(non_symbolic_fields);
        v(post_init_is_noop);
        v(offsets);
    }
};

using RecordCompiledRef = std::shared_ptr<const RecordCompiled>;

// The compiled record of the record class `cls`, whose init-only schema is
// `schema` and whose name lists are the given lists of str; null when the
// class does not compile (no exception set).
[[nodiscard]] RecordCompiledRef compile_record(PyObject* cls, PyObject* schema,
                                               PyObject* slot_field_names,
                                               PyObject* symbolic_field_names);

// Records the class's current version tag in `compiled`, once the meta that
// holds it is stored on `cls`.
void stamp_type_tag(PyObject* cls, const RecordCompiled& compiled) noexcept;

// Whether `cls` still carries the tag stamped into `compiled`.
[[nodiscard]] bool type_unchanged(PyObject* cls, const RecordCompiled& compiled) noexcept;

}  // namespace vesk::symbolic::object
