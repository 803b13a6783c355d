// Probes that report a schema's cached metadata as plain data, for tests and
// diagnostics: the compiled record of every constant field and the shape of
// the open plan. The funnel probes live in funnel_probes.cpp.
#include "typing/schema/schema_ops.hpp"

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

PyObject* schema_field_meta_classes(const Reading& self) {
    const SchemaMeta& meta = *self->meta;
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

PyObject* schema_open_plan_info(const Reading& self) {
    const OpenSchemaPlan* plan = self->meta->open_plan.get();
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
