// SchemaMeta: what a schema caches about its fields, built by
// `compute_caches` from a fields dict, then shared by reference count and
// never changed (schema.hpp says who reads and replaces it), with the open
// plan and the native bulk check it may carry.
#pragma once

#include "py/ref.hpp"
#include "typing/schema/const_text_index.hpp"

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace vesk::typing::schema {

// The fast plan of a schema whose one non-constant key is exactly the
// typing bridge's `str_key_cls` without a regex (a wildcard over every str
// key): its constant fields in declaration order, with an index over their
// texts, and the wildcard field.
struct OpenSchemaPlan {
    std::vector<py::Ref> const_fields;
    // (constant text, value spec), one per constant field.
    std::vector<std::pair<py::Ref, py::Ref>> const_entries;
    // The truth of each constant field's `enable_init`.
    std::vector<bool> const_init;
    ConstTextIndex index;
    py::Ref wildcard_field;
    py::Ref wildcard_spec;
    bool wildcard_init = false;
    // The number of constant fields declared before the wildcard.
    std::size_t wildcard_pos = 0;

    template <class V>
    void visit(V&& v) const {
        for (const py::Ref& f : const_fields) v(f);
        for (const auto& [text, spec] : const_entries) {
            v(text);
            v(spec);
        }
        v(wildcard_field);
        v(wildcard_spec);
    }
};

// One constant key of the native bulk check: the value under `key` must be
// exactly of class `cls`; with `list_spec` (a native List spec) it is a list
// whose elements that spec's container check accepts, decided on each use
// from the spec as it then is. `none_spec`, a native spec that was noneable
// when the entry was made, lets None through while it still is.
// `check_spec`, a native spec whose one constraint check decides values of
// exactly `cls` (a bounded number, a str with a pattern), must also pass
// them, as the spec then is.
struct BulkEntry {
    py::Ref key;
    py::Ref cls;
    py::Ref list_spec;
    py::Ref none_spec;
    py::Ref check_spec;

    template <class V>
    void visit(V&& v) const {
        v(key);
        v(cls);
        v(list_spec);
        v(none_spec);
        v(check_spec);
    }
};

// What `compute_caches` derives from a fields dict. For a schema whose keys
// are all constant (the empty schema included) every field is a constant
// field; for one with a non-constant key the constant-key members are empty
// or null and the open plan may be present.
struct SchemaMeta {
    // Every field of an all-constant schema, in order; else empty.
    std::vector<py::Ref> const_fields;
    // Constant text -> position in `const_fields`.
    ConstTextIndex field_meta_index;
    // Present only for the wildcard shape described at OpenSchemaPlan.
    std::unique_ptr<const OpenSchemaPlan> open_plan;
    py::Ref nonconst_keys;       // list of the non-constant key specs, in order
    py::Ref const_text_set;      // frozenset of the constant texts, or null
    py::Ref const_resolution;    // dict key spec -> [const text], or null
    py::Ref const_apply_fields;  // list of (const text, field, value spec), or null
    py::Ref const_bulk_check;    // tuple of (const text, value type), or null
    // The bulk check as native entries, one per constant field in order; it
    // also takes a field whose value spec is a native List. Valid only with
    // `has_bulk` (an all-constant schema whose every field qualifies).
    std::vector<BulkEntry> bulk;
    bool has_bulk = false;
    bool has_const = false;
    bool has_nonconst = false;

    // Hands every reference the record holds to `v`, for the cycle
    // collector of the record's sole holder (py::SharedRecord); the open
    // plan is owned by this record alone.
    template <class V>
    void visit(V&& v) const {
        for (const py::Ref& f : const_fields) v(f);
        if (open_plan) open_plan->visit(v);
        v(nonconst_keys);
        v(const_text_set);
        v(const_resolution);
        v(const_apply_fields);
        v(const_bulk_check);
        for (const BulkEntry& e : bulk) e.visit(v);
    }
};

using SchemaMetaRef = std::shared_ptr<const SchemaMeta>;

}  // namespace vesk::typing::schema
