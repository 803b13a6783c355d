// The two writers of an existing schema's fields and caches: `extend`, which
// merges a base in without holding the schema and stores in one exclusive
// step, and `_recompute_caches`, which rebuilds the caches while holding it.
#include "typing/schema/schema_ops.hpp"

#include "py/critical_section.hpp"
#include "typing/field/field.hpp"
#include "py/borrow.hpp"

namespace vesk::typing::schema {

namespace {

// A concurrent store between the read and the write of `extend` makes it
// merge again from the new state; after this many rounds it gives up loudly
// rather than overwrite the other store.
constexpr int kExtendRounds = 64;

struct Snapshot {
    py::Ref fields, metadata, dynamic_field;
    bool allow_nonconst_keys = false;
    std::uint64_t version = 0;
};

bool read_snapshot(PyObject* self, Snapshot& out) {
    py::SharedBorrow b(schema_borrow(self));
    if (!b.acquire()) return false;
    const SchemaState& s = schema_state(self);
    out.fields = s.fields;
    out.metadata = s.metadata;
    out.dynamic_field = s.dynamic_field;
    out.allow_nonconst_keys = s.allow_nonconst_keys;
    out.version = s.version;
    return true;
}

bool require_schema(PyObject* self) {
    if (is_schema(self)) return true;
    raise_conversion("self", "a Schema", self);
    return false;
}

}  // namespace

void raise_held() { PyErr_SetString(PyExc_RuntimeError, py::kMutationRefused); }

PyObject* schema_extend(PyObject* self, PyObject* base) {
    if (!require_schema(self)) return nullptr;
    for (int round = 0; round < kExtendRounds; ++round) {
        Snapshot snap;
        if (!read_snapshot(self, snap)) return nullptr;
        MergedFields merged;
        if (!merge_fields(snap.fields.get(), snap.metadata.get(), snap.allow_nonconst_keys, base,
                          merged))
            return nullptr;
        py::Ref dynamic = snap.dynamic_field;
        if (dynamic.get() == Py_None && !(dynamic = detect_dynamic_field(merged.fields.get())))
            return nullptr;
        SchemaMetaRef meta = compute_caches(merged.fields.get());
        if (!meta) return nullptr;
        // A schema that took in a non-constant key now allows them: its
        // lookups, copies and JSON form must agree with what it applies.
        const bool allow = snap.allow_nonconst_keys || meta->has_nonconst;
        {
            py::ExclusiveBorrow hold(schema_borrow(self));
            if (!hold.try_acquire()) {
                raise_held();
                return nullptr;
            }
            SchemaState& s = schema_state(self);
            if (s.version != snap.version) continue;  // merged from a stale state
            std::swap(s.fields, merged.fields);
            std::swap(s.metadata, merged.metadata);
            std::swap(s.dynamic_field, dynamic);
            std::swap(s.meta, meta);
            s.allow_nonconst_keys = allow;
            ++s.version;
        }
        // The replaced objects are released here, with the schema free again.
        return py::new_ref(self);
    }
    PyErr_SetString(PyExc_RuntimeError,
                    "Schema.extend gave up: the schema kept changing while the base was merged");
    return nullptr;
}

PyObject* schema_recompute_caches(PyObject* self) {
    if (!require_schema(self)) return nullptr;
    SchemaMetaRef old;
    {
        py::ExclusiveBorrow hold(schema_borrow(self));
        if (!hold.acquire()) return nullptr;
        SchemaState& s = schema_state(self);
        py::Ref values;
        {
            py::CriticalSection guard(s.fields.get());
            values = py::Ref::steal(PyDict_Values(s.fields.get()));
        }
        if (!values) return nullptr;
        // The fields changed in place: their compiled records are stale too.
        for (Py_ssize_t i = 0, n = PyList_GET_SIZE(values.get()); i < n; ++i) {
            PyObject* field = PyList_GET_ITEM(values.get(), i);
            if (field::is_field(field)) field::invalidate_meta(field);
        }
        SchemaMetaRef meta = compute_caches(s.fields.get());
        if (!meta) return nullptr;
        old = std::exchange(s.meta, std::move(meta));
        ++s.version;
    }
    return py::none();
}

}  // namespace vesk::typing::schema
