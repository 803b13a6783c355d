// ObjectCtorMeta: the class-level facts that constructing a symbolic object,
// classifying an attribute write and answering node-state questions need,
// read once from the class's attributes and then reused, so the hot paths
// make none of those reads. It also holds the class's compiled fields: for
// every init field its key, its shared FieldMeta and its default, with which
// the compiled fill (fill.hpp) accepts keyword values without the init
// schema's drivers.
//
// Caching. The facts are cached on the class itself as
// `__native_ctor_meta__`, in the class's own namespace, never found through
// a base class: a subclass builds its own on first use. The package deletes
// the attribute when the class's schema changes; the next use rebuilds it.
// There is no lock: two threads that both miss build two records and the
// later store stays.
//
// Ownership. The Python object `ObjectCtorMeta` holds one CtorMeta record,
// shared by reference count (`CtorMetaRef`) and never changed once built; a
// reader copies the reference out and uses the record without any lock or
// hold for as long as it keeps it. The record holds schemas and fields
// whose origin is the class that holds the metadata, so the metadata takes
// part in cyclic garbage collection: a discarded class is freed with it.
// Dropping the last reference releases Python objects, so it happens on a
// thread attached to the interpreter.
//
// Errors follow the interpreter's convention: a null reference or -1 means
// an exception is set.
#pragma once

#include "py/ref.hpp"
#include "typing/field/field_meta.hpp"
#include "typing/published_slot.hpp"

#include <cstdint>

#include <memory>
#include <vector>

namespace vesk::symbolic::object {

// One compiled init field.
struct CompiledField {
    py::Ref key;                       // the field's name: dict key and child path key
    typing::field::FieldMetaRef meta;  // shared with the field that caches it
    py::Ref default_value;             // the field's `default_value`; null: no default
    // The field has a default and its value spec is a native List or Dict
    // spec of a wrap field: a missing value makes the compiled fill decline.
    bool container_default = false;

    template <class V>
    void visit(V&& v) const {
        v(key);
        v(default_value);
        // A record the field still caches is counted by the field; one held
        // here alone is counted here, so no reference is counted twice.
        if (meta && meta.use_count() == 1) meta->visit(v);
    }
};

// A public init field as an attribute write finds it: by name, with no
// Python dictionary read (whose new reference would be counted atomically
// on the free-threaded build, on objects every thread shares).
struct PublicField {
    py::Ref name;       // an exact, interned str
    py::Ref field;
    py::Ref root_path;  // KeyPath(name): the field's key path under a root
};

// What the fast road of an attribute write finds for each public field in
// the class's schema (its FieldMeta, by public field; null where that road
// is not taken: a foreign schema, a name outside its constant keys, a frozen
// field), kept while the typing layer's change epoch reads `epoch`. With it
// a write reads neither the schema nor the field object, whose headers
// every thread's update records count on the free-threaded build.
struct WriteFacts {
    std::uint64_t epoch = 0;
    std::vector<typing::field::FieldMetaRef> metas;

    template <class V>
    void visit(V&& v) const {
        for (const typing::field::FieldMetaRef& m : metas)
            if (m && m.use_count() == 1) m->visit(v);
    }
};

struct CtorMeta {
    // The compiled init fields; absent when the class's `_sym_init_fields` is
    // None or when a field could not be compiled.
    bool has_compiled_fields = false;
    std::vector<CompiledField> compiled_fields;

    py::Ref schema;               // the class's `__schema__`
    py::Ref sym_fields;           // the class's `sym_fields`
    py::Ref init_schema;          // `sym_fields.schema`
    py::Ref init_fields;          // `_sym_init_fields`: (name, field) pairs, or None
    py::Ref non_symbolic_fields;  // `_non_symbolic_fields`
    py::Ref non_symbolic_names;   // frozenset of str
    py::Ref alias_names;          // frozenset of str; null when `_sym_alias_maps` is None
    py::Ref init_field_names;     // frozenset of str; null when the init fields are None
    py::Ref public_init_fields;   // dict str -> field; null when the init fields are None
    // The same fields with the key path that every update of the field
    // names on an object at the root; empty when the init fields are None.
    std::vector<PublicField> public_fields;
    // Filled by the first write that finds it missing or stale (the record
    // is otherwise never changed once built).
    mutable typing::field::PublishedSlot<WriteFacts> write_facts;

    // The node facts (node_state.hpp).
    bool topo_enabled = false;
    bool parent_change_overridden = false;
    bool update_children_overridden = false;
    bool path_change_overridden = false;

    // The class options, strict bools.
    bool topo = false;
    bool attr_write = true;
    bool frozen = false;

    // The construction hooks.
    bool post_init_overridden = false;
    bool bound_overridden = false;
    bool ready_runs = false;
    bool preinit_overridden = false;
    bool validate_overridden = false;

    bool has_attrs_builder = false;
    bool has_non_symbolic_fields = false;
    bool cooperative_init_needed = false;
    bool default_topo_setters = false;
    bool default_sym_missing = false;
    bool default_pure_symbolic = false;

    template <class V>
    void visit(V&& v) const {
        for (const CompiledField& f : compiled_fields) f.visit(v);
        v(schema);
        v(sym_fields);
        v(init_schema);
        v(init_fields);
        v(non_symbolic_fields);
        v(non_symbolic_names);
        v(alias_names);
        v(init_field_names);
        v(public_init_fields);
        for (const PublicField& f : public_fields) {
            v(f.name);
            v(f.field);
            v(f.root_path);
        }
        write_facts.visit(v);
    }
};

using CtorMetaRef = std::shared_ptr<const CtorMeta>;

// The class `ObjectCtorMeta` (borrowed); null with an exception set when
// building it failed.
[[nodiscard]] PyTypeObject* ctor_meta_type();

// The metadata of `cls` (a class): the one cached in its own namespace, or
// one built now and stored there. Raises what building raises (the object
// bridge must be installed).
[[nodiscard]] CtorMetaRef ctor_meta(PyObject* cls);

// The metadata of `cls` for the span of one call, without a hold or a new
// reference to the record: the cached ObjectCtorMeta instance itself is
// kept (`owner`), and its record lives as long as the instance is referenced
// (the record is set before the instance is stored on the class and only
// the collector clears it, which it cannot do to an instance still held).
// A record built now is kept by `built` instead. Falsy with an exception set
// when building failed.
struct PinnedCtorMeta {
    py::Ref owner;
    CtorMetaRef built;
    const CtorMeta* meta = nullptr;

    explicit operator bool() const noexcept { return meta != nullptr; }
    const CtorMeta* operator->() const noexcept { return meta; }
    const CtorMeta& operator*() const noexcept { return *meta; }
};
[[nodiscard]] PinnedCtorMeta pinned_ctor_meta(PyObject* cls);

// The metadata of `type` for a caller inside a `typing::field::ReadSection`
// (meta_epoch.hpp), valid until the section ends, found with no new
// reference and no hold: the thread remembers the record it last found for
// the class, as long as the class's version tag (which any change of its
// namespace moves on) stays the same, and a record whose ObjectCtorMeta goes
// away is freed only once no section that could have found it is still
// open. When the class must be read (or the record built), `keep` keeps what
// was found for the caller. Falsy with an exception set when building failed.
[[nodiscard]] const CtorMeta* ctor_meta_in_section(PyTypeObject* type, PinnedCtorMeta& keep);

// A new record built from the class's attributes as they are now,
// bypassing the cache (nothing is stored).
[[nodiscard]] CtorMetaRef build_ctor_meta(PyObject* cls);

// The compiled fields of `init_fields` (an iterable of (key, field)
// pairs): true with `out` filled and `compiled` set, or `compiled` clear
// when a field offers the funnel nothing to accept (or has a default
// factory); false with an exception set when a read failed.
[[nodiscard]] bool compile_fields(PyObject* init_fields, std::vector<CompiledField>& out,
                                  bool& compiled);

// --- queries for the object layer ----------------------------------------------

// Whether `name` is one of the class's init fields: 1, 0 (also when the
// class records no init fields, or `name` is not a str), never -1.
[[nodiscard]] int is_init_field(const CtorMeta& meta, PyObject* name) noexcept;

// The init field whose name (a str) does not begin with "_" (or is empty),
// borrowed from the record, which the caller keeps; null when there is none.
// Never fails; runs no Python code.
[[nodiscard]] const PublicField* public_init_field(const CtorMeta& meta, PyObject* name) noexcept;

// The record held by an ObjectCtorMeta instance (copied out under its
// shared hold); null with an exception set for any other object.
[[nodiscard]] CtorMetaRef ctor_meta_record(PyObject* meta_object);

}  // namespace vesk::symbolic::object
