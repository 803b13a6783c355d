// `RecordMeta`: the class-stable facts of one record class (a `slots=True`
// class of the package), read once into typed fields instead of attribute
// lookups on every construction, and cached in the class's own `__dict__`
// as `__native_record_meta__`. A `slots=True` class never changes its
// schema, so the cache is never invalidated.
//
// The facts hold objects whose origin is the class (its schema, its
// fields, its name lists), and the class holds the meta: the meta takes
// part in cyclic garbage collection (traverse and clear), so a discarded
// record class is freed with its meta.
//
// A meta is written once, when it is made, and only read afterwards under
// its shared hold; nothing takes it exclusively.
#pragma once

#include "py/record.hpp"
#include "py/ref.hpp"
#include "symbolic/object/records/record_compiled.hpp"

namespace vesk::symbolic::object {

struct RecordFacts {
    py::Ref slot_field_names;      // list of str: `__slot_field_names__`
    py::Ref symbolic_field_names;  // list of str: `__slot_symbolic_field_names__`
    py::Ref symbolic_names_attr;   // the class's `__slot_symbolic_field_names__` as given
    py::Ref sym_fields;            // the class's `sym_fields`
    py::Ref schema;                // `sym_fields.schema`: the init-only schema
    bool enable_topo = false;      // truth of the class's `enable_topo`
    bool attr_write = false;       // truth of `__sym_options__.attr_write`
    bool frozen = false;           // truth of `__sym_options__.frozen`
    // What the record tp_init builds a record from directly; empty when the
    // class does not compile (record_compiled.hpp).
    py::SharedRecord<RecordCompiled> compiled;

    template <class V>
    void visit(V&& v) {
        v(slot_field_names);
        v(symbolic_field_names);
        v(symbolic_names_attr);
        v(sym_fields);
        v(schema);
        v(compiled);
    }

    [[nodiscard]] bool has_symbolic_fields() const noexcept {
        return symbolic_field_names && PyList_GET_SIZE(symbolic_field_names.get()) > 0;
    }
};

// The class, built on first use (borrowed); null with an exception set.
[[nodiscard]] PyTypeObject* record_meta_type();

// The record meta of `cls`, its facts copied into `out`: 1 found (built and
// cached on a miss), 0 when `cls` is not a record class (it has no
// `__slot_field_names__`; no error), -1 with an exception set. A cached
// entry that is not a RecordMeta is the downcast TypeError.
[[nodiscard]] int record_meta(PyObject* cls, RecordFacts& out);

// The same for a class that must be a record class: its missing
// `__slot_field_names__` raises that AttributeError.
[[nodiscard]] bool required_record_meta(PyObject* cls, RecordFacts& out);

// The two lookups answering the meta object itself, for a caller that
// reads its facts under a shared hold (py::Shared<RecordFacts>) instead of
// copying them; `facts_intact` then checks what the hold gives.
[[nodiscard]] int record_meta_object(PyObject* cls, py::Ref& meta);
[[nodiscard]] bool required_record_meta_object(PyObject* cls, py::Ref& meta);
// False with RuntimeError when the collector has cleared the facts (their
// class is being freed).
[[nodiscard]] bool facts_intact(const RecordFacts& facts);

}  // namespace vesk::symbolic::object
