// Schema: the ordered fields of a dictionary or of a symbolic class, keyed
// by key spec, with the metadata the hot paths read instead of rediscovering
// per value which keys are constant and where a constant key's field sits.
//
// Object layout. A Schema is `py::Object<SchemaState>`: the object header,
// the borrow flag and the SchemaState below. The class accepts Python
// subclasses, whose instances add their own `__dict__` after it; every
// native entry takes subclass instances (`is_schema`).
//
// State and borrows. The members of SchemaState are read under the
// instance's shared borrow and written under its exclusive borrow; a
// conflicting request fails at once with the binding layer's borrow error.
// Only `extend` (its final store), `_recompute_caches` and the two name and
// description setters write an existing schema. The objects held are shared
// with Python as they are: the `fields` getter hands out the dict itself.
//
// SchemaMeta. The cached metadata is built by `compute_caches` from a fields
// dict, then shared by reference count (`SchemaMetaRef`) and never changed:
// a reader copies the reference under a shared borrow and may use the record
// without any lock for as long as it holds it. `extend` and
// `_recompute_caches` replace the record whole; holders keep the old one.
// The Python lists, dicts and tuples inside it are handed out by the getters
// themselves, so the record must not be taken as proof that they are
// unchanged; the native vectors and indexes are fixed.
//
// Version. Every store of `fields` or of the metadata moves `version` on.
// An operation that reads the state, runs Python code without the borrow and
// then stores a result built from what it read (extend) checks under the
// exclusive borrow that the version has not moved, so no concurrent store is
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

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vesk::typing::schema {

// --- the constant-text index --------------------------------------------------

// 64-bit FNV-1a over the UTF-8 bytes of a constant key, then one byte 0xff.
// Every reader of a constant-text index (schemas, open plans, the write and
// construction paths of symbolic containers and objects) hashes this way.
[[nodiscard]] constexpr std::uint64_t const_text_hash(std::string_view utf8) noexcept {
    constexpr std::uint64_t kPrime = 0x100000001b3ull;
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (char c : utf8) {
        h ^= static_cast<unsigned char>(c);
        h *= kPrime;
    }
    h ^= 0xffu;
    h *= kPrime;
    return h;
}
static_assert(const_text_hash("") == 0xaf64724c8602eb6eull);
static_assert(const_text_hash("abc") == 0xfc182483ee0806dcull);

// A map from constant text to a position, probed by the hash above; two
// texts match when their bytes are equal. Fixed once built.
class ConstTextIndex {
public:
    // Enters `utf8` at `pos`; a text entered twice keeps the later position.
    void insert(std::string_view utf8, std::uint32_t pos);
    // The position of `utf8`, or -1.
    [[nodiscard]] std::ptrdiff_t find(std::string_view utf8) const noexcept;
    // The position of a str key (subclasses compared by their text; their
    // own `__eq__` and `__hash__` are not called), or -1 for any other
    // object and for a text that cannot be encoded (a lone surrogate).
    // Never fails and runs no Python code; call it with no exception set.
    [[nodiscard]] std::ptrdiff_t find_key(PyObject* key) const noexcept;
    [[nodiscard]] std::size_t size() const noexcept { return count_; }
    [[nodiscard]] bool empty() const noexcept { return count_ == 0; }

private:
    struct Slot {
        std::uint64_t hash = 0;
        std::uint32_t pos = 0;
        bool used = false;
        std::string text;
    };
    void grow();
    std::vector<Slot> slots_;  // open addressing, power-of-two size
    std::size_t count_ = 0;
};

// --- the cached metadata --------------------------------------------------------

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
struct BulkEntry {
    py::Ref key;
    py::Ref cls;
    py::Ref list_spec;
    py::Ref none_spec;

    template <class V>
    void visit(V&& v) const {
        v(key);
        v(cls);
        v(list_spec);
        v(none_spec);
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

// Unchecked accessors for code that holds the bare flag: `schema` must pass
// `is_schema`. The schema's own files take declared holds instead
// (`py::Shared<SchemaState>`, py/hold.hpp).
[[nodiscard]] inline SchemaState& schema_state(PyObject* schema) noexcept {
    return py::state<SchemaState>(schema);
}
[[nodiscard]] inline py::BorrowFlag& schema_borrow(PyObject* schema) noexcept {
    return py::borrow_flag<SchemaState>(schema);
}

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

// Whether `key` is a str whose text is one of the plan's constant texts.
// Never fails and runs no Python code.
[[nodiscard]] inline bool key_in_plan_consts(const ConstTextIndex& index, PyObject* key) noexcept {
    return !index.empty() && index.find_key(key) >= 0;
}

}  // namespace vesk::typing::schema
