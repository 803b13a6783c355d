// Shallow and deep copies of a schema. Both are rebuilt through construction
// from the source's field list, name, description, key policy and metadata,
// so a copy gets caches of its own; both are always of the class Schema.
#include "typing/schema/schema_ops.hpp"
#include "typing/change_epoch.hpp"

#include "py/args.hpp"
#include "py/named.hpp"
#include "typing/memo.hpp"

#include <utility>

namespace vesk::typing::schema {

namespace {

// A new Schema from `fields` (a list) and `metadata`, with the source's
// other stored members. The caller holds `source` shared.
py::Ref rebuild(const SchemaState& source, PyObject* fields, PyObject* metadata) {
    PyTypeObject* type = schema_type();
    if (!type) return {};
    SchemaArgs a;
    a.fields = fields;
    a.name = source.name.get();
    a.description = source.description.get();
    a.allow_nonconst_keys = source.allow_nonconst_keys;
    a.metadata = metadata;
    return new_schema(type, a);
}

py::Ref shallow_copy(const SchemaState& source) {
    py::Ref fields = py::Ref::steal(PyDict_Values(source.fields.get()));
    return fields ? rebuild(source, fields.get(), source.metadata.get()) : py::Ref();
}

}  // namespace

py::Params<1> kDeepcopyParams{"__deepcopy__", {"memo"}, 1, 1};

PyObject* schema_copy(const Reading& self) { return shallow_copy(*self).release(); }

PyObject* schema_deepcopy(Scoped self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kDeepcopyParams, args, nargs, kwnames, a)) return nullptr;
    PyObject* memo = a[0];
    PyTypeObject* type = schema_type();
    if (!type) return nullptr;
    py::Ref hit;
    const int found = deepcopy_memo_hit_of(memo, self.object(), type, "Schema", hit);
    if (found != 0) return hit.release();

    py::Ref copy, fresh;
    {
        // Held while the members copy themselves: their hooks may read the
        // schema but not change it.
        Reading s = self.shared();
        if (!s) return nullptr;
        // Registered before anything deeper is copied, so a field that
        // refers back to this schema resolves to the copy.
        copy = shallow_copy(*s);
        if (!copy || deepcopy_memo_register(memo, self.object(), copy.get()) < 0) return nullptr;
        py::Ref fields = py::Ref::steal(PyDict_Values(s->fields.get()));
        if (!fields) return nullptr;
        py::Ref copied_fields = py::call_imported<"copy", "deepcopy">(fields.get(), memo);
        if (!copied_fields) return nullptr;
        py::Ref copied_metadata = py::call_imported<"copy", "deepcopy">(s->metadata.get(), memo);
        if (!copied_metadata) return nullptr;
        fresh = rebuild(*s, copied_fields.get(), copied_metadata.get());
        if (!fresh) return nullptr;
    }
    {
        // The registered copy takes the whole deep state; its shallow state
        // leaves with `fresh`, released after the hold.
        Writing c(copy.get());
        Writing f(fresh.get());  // new, and never handed out: always free
        if (!c || !f) return nullptr;
        const std::uint64_t version = c->version;
        std::swap(*c, *f);
        c->version = version + 1;
        note_change();
    }
    return copy.release();
}

}  // namespace vesk::typing::schema
