// Shallow and deep copies of a schema. Both are rebuilt through construction
// from the source's field list, name, description, key policy and metadata,
// so a copy gets caches of its own; both are always of the class Schema.
#include "typing/schema/schema_ops.hpp"

#include "py/args.hpp"
#include "typing/memo.hpp"

#include <utility>

namespace vesk::typing::schema {

namespace {

// A new Schema from `fields` (a list) and `metadata`, with the source's
// other stored members. The caller holds a shared borrow of `source`.
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

// copy.deepcopy(value, memo), the memo passed on as given.
py::Ref deep(PyObject* deepcopy, PyObject* value, PyObject* memo) {
    PyObject* args[] = {value, memo};
    return py::Ref::steal(PyObject_Vectorcall(deepcopy, args, 2, nullptr));
}

py::Params<1> kDeepcopySig{"__deepcopy__", {"memo"}, 1, 1};

}  // namespace

PyObject* schema_copy(PyObject* self) {
    py::SharedBorrow b(schema_borrow(self));
    if (!b.acquire()) return nullptr;
    return shallow_copy(schema_state(self)).release();
}

PyObject* schema_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kDeepcopySig, args, nargs, kwnames, a)) return nullptr;
    PyObject* memo = a[0];
    PyTypeObject* type = schema_type();
    if (!type) return nullptr;
    py::Ref hit;
    const int found = deepcopy_memo_hit_of(memo, self, type, "Schema", hit);
    if (found != 0) return hit.release();
    PyObject* deepcopy = py::imported<"copy", "deepcopy">();
    if (!deepcopy) return nullptr;

    py::Ref copy, fresh;
    {
        // Held while the members copy themselves: their hooks may read the
        // schema but not change it.
        py::SharedBorrow b(schema_borrow(self));
        if (!b.acquire()) return nullptr;
        const SchemaState& s = schema_state(self);
        // Registered before anything deeper is copied, so a field that
        // refers back to this schema resolves to the copy.
        copy = shallow_copy(s);
        if (!copy || deepcopy_memo_register(memo, self, copy.get()) < 0) return nullptr;
        py::Ref fields = py::Ref::steal(PyDict_Values(s.fields.get()));
        if (!fields) return nullptr;
        py::Ref copied_fields = deep(deepcopy, fields.get(), memo);
        if (!copied_fields) return nullptr;
        py::Ref copied_metadata = deep(deepcopy, s.metadata.get(), memo);
        if (!copied_metadata) return nullptr;
        fresh = rebuild(s, copied_fields.get(), copied_metadata.get());
        if (!fresh) return nullptr;
    }
    {
        // The registered copy takes the whole deep state; its shallow state
        // leaves with `fresh`, released after the borrow.
        py::ExclusiveBorrow b(schema_borrow(copy.get()));
        if (!b.acquire()) return nullptr;
        SchemaState& c = schema_state(copy.get());
        SchemaState& f = schema_state(fresh.get());
        std::swap(c.fields, f.fields);
        std::swap(c.name, f.name);
        std::swap(c.description, f.description);
        std::swap(c.metadata, f.metadata);
        std::swap(c.dynamic_field, f.dynamic_field);
        std::swap(c.allow_nonconst_keys, f.allow_nonconst_keys);
        std::swap(c.meta, f.meta);
        ++c.version;
    }
    return copy.release();
}

}  // namespace vesk::typing::schema
