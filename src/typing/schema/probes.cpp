// Probes that report a schema's cached metadata as plain data, for tests and
// diagnostics: the compiled record of every constant field and the shape of
// the open plan.
#include "typing/schema/schema_ops.hpp"

#include "py/args.hpp"
#include "topology/key_path.hpp"
#include "typing/funnel/funnel.hpp"

namespace vesk::typing::schema {

namespace {

PyObject* flag(bool b) noexcept { return b ? Py_True : Py_False; }

py::Ref field_meta_dict(const field::FieldMeta& m) {
    py::Ref exact = py::Ref::steal(PySet_New(nullptr));
    py::Ref checked = py::Ref::steal(PySet_New(nullptr));
    py::Ref subclass = py::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(m.subclass.size())));
    if (!exact || !checked || !subclass) return {};
    for (const py::Ref& cls : m.exact)
        if (PySet_Add(exact.get(), cls.get()) < 0) return {};
    for (const auto& [cls, spec] : m.checked)
        if (PySet_Add(checked.get(), cls.get()) < 0) return {};
    for (std::size_t i = 0; i < m.subclass.size(); ++i)
        PyTuple_SET_ITEM(subclass.get(), static_cast<Py_ssize_t>(i),
                         py::Ref(m.subclass[i]).release());
    return py::Ref::steal(Py_BuildValue(
        "{s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:O}", "key", m.const_text.get(), "accept_any",
        flag(m.accept_any), "exact", exact.get(), "checked", checked.get(), "widen_to_float",
        flag(m.widen_to_float), "subclass", subclass.get(), "wrap", flag(m.wrap), "custom_apply",
        flag(m.custom_apply), "symbolic", field::tri_object(m.symbolic), "has_default",
        flag(m.has_default)));
}

}  // namespace

PyObject* schema_field_meta_classes(PyObject* self) {
    py::SharedBorrow b(schema_borrow(self));
    if (!b.acquire()) return nullptr;
    const SchemaMeta& meta = *schema_state(self).meta;
    py::Ref out = py::Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    for (const py::Ref& field : meta.const_fields) {
        field::FieldMetaRef m = field_meta_for(field.get());
        if (!m) return nullptr;
        py::Ref entry = field_meta_dict(*m);
        if (!entry || PyList_Append(out.get(), entry.get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject* schema_open_plan_info(PyObject* self) {
    py::SharedBorrow b(schema_borrow(self));
    if (!b.acquire()) return nullptr;
    const OpenSchemaPlan* plan = schema_state(self).meta->open_plan.get();
    if (!plan) return py::none();
    py::Ref keys = py::Ref::steal(PyList_New(0));
    py::Ref init = py::Ref::steal(PyList_New(0));
    if (!keys || !init) return nullptr;
    for (std::size_t i = 0; i < plan->const_fields.size(); ++i) {
        field::FieldMetaRef m = field_meta_for(plan->const_fields[i].get());
        if (!m) return nullptr;
        if (PyList_Append(keys.get(), m->const_text.get()) < 0 ||
            PyList_Append(init.get(), flag(plan->const_init[i])) < 0)
            return nullptr;
    }
    return Py_BuildValue("{s:O,s:O,s:O,s:n}", "const_keys", keys.get(), "const_init", init.get(),
                         "wildcard_init", flag(plan->wildcard_init), "wildcard_pos",
                         static_cast<Py_ssize_t>(plan->wildcard_pos));
}

}  // namespace vesk::typing::schema

namespace vesk::typing::schema {

namespace {

// The compiled record of the constant field whose text equals `key`; null
// with KeyError when no constant field matches (every key of a schema with
// a non-constant key).
field::FieldMetaRef const_meta_for(const SchemaMeta& meta, PyObject* key, py::Ref& field) {
    for (const py::Ref& f : meta.const_fields) {
        field::FieldMetaRef m = field_meta_for(f.get());
        if (!m) return nullptr;
        const int eq = PyObject_RichCompareBool(m->const_text.get(), key, Py_EQ);
        if (eq < 0) return nullptr;
        if (eq) {
            field = f;
            return m;
        }
    }
    PyErr_Format(PyExc_KeyError, "No precomputed FieldMeta for key %R.", key);
    return nullptr;
}

py::Params kLeafParams{"_funnel_leaf", {"key", "value"}, 2, 2};
py::Params kValidateParams{"_funnel_validate_field",
                           {"key", "value", "allow_partial", "root_path"},
                           4,
                           2};

}  // namespace

PyObject* schema_funnel_leaf(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kLeafParams, args, nargs, kwnames, a)) return nullptr;
    py::SharedBorrow b(schema_borrow(self));
    if (!b.acquire()) return nullptr;
    py::Ref field;
    field::FieldMetaRef m = const_meta_for(*schema_state(self).meta, a[0], field);
    if (!m) return nullptr;
    funnel::FunnelOutcome out = funnel::funnel_leaf(a[1], *m);
    switch (out.kind) {
        case funnel::FunnelOutcome::Kind::Error:
            return nullptr;
        case funnel::FunnelOutcome::Kind::Verbatim:
            return Py_BuildValue("(sO)", "verbatim", a[1]);
        case funnel::FunnelOutcome::Kind::Produced:
        case funnel::FunnelOutcome::Kind::Wrap:
            return Py_BuildValue("(sO)", "produced", out.value.get());
        case funnel::FunnelOutcome::Kind::Deferred:
            break;
    }
    return Py_BuildValue("(sO)", "deferred", Py_None);
}

PyObject* schema_funnel_validate_field(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    py::Args<4> a;
    if (!py::parse(kValidateParams, args, nargs, kwnames, a)) return nullptr;
    bool allow_partial = false;
    if (!py::opt_bool("allow_partial", a[2], false, allow_partial)) return nullptr;
    PyObject* root_path = a.given(3) && a[3] != Py_None ? a[3] : nullptr;
    py::SharedBorrow b(schema_borrow(self));
    if (!b.acquire()) return nullptr;
    py::Ref field;
    field::FieldMetaRef m = const_meta_for(*schema_state(self).meta, a[0], field);
    if (!m) return nullptr;
    funnel::FunnelCtx ctx{root_path, allow_partial, false};
    funnel::FunnelOutcome out = funnel::funnel_accept(a[1], *m, a[0], ctx);
    switch (out.kind) {
        case funnel::FunnelOutcome::Kind::Error:
            return nullptr;
        case funnel::FunnelOutcome::Kind::Verbatim:
            return py::new_ref(a[1]);
        case funnel::FunnelOutcome::Kind::Produced:
        case funnel::FunnelOutcome::Kind::Wrap:
            return out.value.release();
        case funnel::FunnelOutcome::Kind::Deferred:
            break;
    }
    // Undecided: the field's own apply at the child path, as the drivers call it.
    py::Ref path = topology::child_key_path(a[0], root_path);
    if (!path) return nullptr;
    PyObject* apply = py::intern<"apply">();
    PyObject* kw = py::names<"allow_partial", "transform_fn", "root_path", "inplace">();
    if (!apply || !kw) return nullptr;
    PyObject* call[] = {field.get(), a[1], allow_partial ? Py_True : Py_False, Py_None,
                        path.get(), Py_True};
    return PyObject_VectorcallMethod(apply, call, 2, kw);
}

}  // namespace vesk::typing::schema
