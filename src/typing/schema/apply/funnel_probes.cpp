// Probes that run the acceptance funnel on one constant field of a schema,
// for tests and diagnostics: its pure leaf tier alone, or the whole fast tier
// with the field's own apply behind it.
#include "typing/schema/drivers.hpp"
#include "typing/schema/schema_ops.hpp"

#include "py/args.hpp"
#include "topology/key_path.hpp"
#include "typing/funnel/funnel.hpp"

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

}  // namespace

py::Params<2> kFunnelLeafParams{"_funnel_leaf", {"key", "value"}, 2, 2};
py::Params<4> kFunnelValidateParams{"_funnel_validate_field",
                                    {"key", "value", "allow_partial=False", "root_path=None"},
                                    4,
                                    2};

PyObject* schema_funnel_leaf(const Reading& self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kFunnelLeafParams, args, nargs, kwnames, a)) return nullptr;
    py::Ref field;
    field::FieldMetaRef m = const_meta_for(*self->meta, a[0], field);
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

PyObject* schema_funnel_validate_field(const Reading& self, PyObject* const* args,
                                       Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<4> a;
    if (!py::parse(kFunnelValidateParams, args, nargs, kwnames, a)) return nullptr;
    bool allow_partial = false;
    if (!py::opt_bool("allow_partial", a[2], false, allow_partial)) return nullptr;
    PyObject* root_path = a.given(3) && a[3] != Py_None ? a[3] : nullptr;
    py::Ref field;
    field::FieldMetaRef m = const_meta_for(*self->meta, a[0], field);
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
    return call_field_apply(field.get(), a[1], allow_partial, nullptr, path.get(), true)
        .release();
}

}  // namespace vesk::typing::schema
