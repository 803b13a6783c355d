// The two writers of an existing schema's fields and caches: `extend`, which
// merges a base in without holding the schema and stores in one exclusive
// step, and `_recompute_caches`, which rebuilds the caches while holding it.
#include "typing/schema/schema_ops.hpp"
#include "typing/change_epoch.hpp"

#include "py/critical_section.hpp"
#include "typing/field/field.hpp"
#include "py/borrow.hpp"
#include "typing/meta_epoch.hpp"

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

bool read_snapshot(Scoped self, Snapshot& out) {
    Reading s = self.shared();
    if (!s) return false;
    out.fields = s->fields;
    out.metadata = s->metadata;
    out.dynamic_field = s->dynamic_field;
    out.allow_nonconst_keys = s->allow_nonconst_keys;
    out.version = s->version;
    return true;
}

}  // namespace

// The merge, the dynamic field and the caches are worked out from a
// snapshot with no hold, since they call into Python; the result is stored
// in one exclusive step, which another holder refuses with the mutation
// refusal. The replaced state leaves after that step.
PyObject* schema_extend(Scoped self, PyObject* base) {
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
            auto w = self.exclusive<py::Refuse::Mutation>();
            if (!w) return nullptr;
            if (w->version != snap.version) continue;  // merged from a stale state
            std::swap(w->fields, merged.fields);
            std::swap(w->metadata, merged.metadata);
            std::swap(w->dynamic_field, dynamic);
            w->meta.swap(meta);
            w->allow_nonconst_keys = allow;
            ++w->version;
            note_change();
        }
        // A reader may still use the replaced metadata, borrowed through a
        // spec's kept facts inside its read section.
        field::retire_shared(std::move(meta));
        return py::new_ref(self.object());
    }
    PyErr_SetString(PyExc_RuntimeError,
                    "Schema.extend gave up: the schema kept changing while the base was merged");
    return nullptr;
}

// Held exclusively for the whole rebuild, the attribute reads of the caches
// included; the replaced metadata leaves after the hold.
PyObject* schema_recompute_caches(Scoped self) {
    SchemaMetaRef meta;
    {
        Writing w = self.exclusive();
        if (!w) return nullptr;
        // The metadata is swapped in whole at the end: a thread lost at a
        // fork meanwhile leaves the old one, with which the child goes on.
        w.replaces_whole();
        py::Ref values;
        {
            py::CriticalSection guard(w->fields.get());
            values = py::Ref::steal(PyDict_Values(w->fields.get()));
        }
        if (!values) return nullptr;
        // The fields changed in place: their compiled records are stale too.
        for (Py_ssize_t i = 0, n = PyList_GET_SIZE(values.get()); i < n; ++i) {
            PyObject* field = PyList_GET_ITEM(values.get(), i);
            if (field::is_field(field)) field::invalidate_meta(field);
        }
        meta = compute_caches(w->fields.get());
        if (!meta) return nullptr;
        w->meta.swap(meta);
        ++w->version;
        note_change();
    }
    field::retire_shared(std::move(meta));
    return py::none();
}

}  // namespace vesk::typing::schema
