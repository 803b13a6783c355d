// Schema application: one whole dictionary validated against the fields.
// An exact dict with only str keys and without a child transform takes a
// fast road (every key constant, or constants plus one plain str wildcard);
// everything else, and every symbolic dict or other dict subclass, takes the
// general road, which calls key specs and fields by attribute name and
// writes changed values through item assignment (see
// `schema_set_if_changed` for mappings that are not dicts).
#include "typing/meta_epoch.hpp"
#include "typing/schema/drivers.hpp"
#include "typing/schema/schema_ops.hpp"

#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/dict_cursor.hpp"
#include "py/named.hpp"
#include "topology/key_path.hpp"
#include "typing/applied_members.hpp"
#include "typing/bridge.hpp"
#include "typing/funnel/dict_bulk.hpp"
#include "typing/shortcuts.hpp"

namespace vesk::typing::schema {

namespace {

int constant_road(const SchemaMeta& meta, PyObject* d, const ApplyCtx& ctx, bool inplace) {
    bool ran_code = false;
    for (const py::Ref& f : meta.const_fields)
        if (apply_const_field_inplace(d, d, f.get(), ctx, inplace, &ran_code) < 0) return -1;
    // When no Python code ran, every constant key is still present in the
    // plain dict `d`, so a dict no larger than the set of constant texts
    // holds no other key. Code that ran (a transform, validator, default
    // factory or check) may have removed a constant key and left room for
    // an extra one: then every key is looked at.
    if (!ran_code && !shortcuts_off()) {
        const Py_ssize_t allowed = PySet_GET_SIZE(meta.const_text_set.get());
        if (PyDict_GET_SIZE(d) <= allowed) return 0;
    }
    return raise_if_extra_keys(meta.const_text_set.get(), d, ctx.root_path);
}

int general_road(const SchemaState& schema, const SchemaMeta& meta, PyObject* d,
                 const ApplyCtx& ctx, PyObject* child_transform, Tri respect_raw_storage,
                 bool inplace) {
    // Field records are borrowed for the rest of the call.
    field::ReadSection reading;
    py::Ref keys = py::call_method<"keys">(d);
    if (!keys) return -1;
    py::Ref claimed, unclaimed;
    if (!resolve_inner(schema, keys.get(), claimed, unclaimed)) return -1;
    if (PyList_GET_SIZE(unclaimed.get()) > 0) {
        raise_disallowed_keys(unclaimed.get(), ctx.root_path);
        return -1;
    }
    py::Ref getter = py::get_attr<"sym_getattr">(d);
    if (!getter) {
        PyErr_Clear();
        getter = py::get_attr<"get">(d);
        if (!getter) return -1;
    }
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return -1;
    const bool gate = child_transform && respect_raw_storage != Tri::Unset;
    PyObject* fields = schema.fields.get();

    py::DictCursor cursor(claimed.get());
    py::Ref ks, list;
    for (;;) {
        const int step = cursor.next(ks, list);
        if (step < 0) return -1;
        if (!step) break;
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(fields, ks.get(), &found) < 0) return -1;
        py::Ref field = py::Ref::steal(found);
        if (!field) {
            PyErr_SetObject(PyExc_KeyError, ks.get());
            return -1;
        }
        if (!PyList_Check(list.get())) {
            py::raise_arg_type("claimed keys", "list", list.get());
            return -1;
        }
        if (meta.has_nonconst) {
            const int is_const = attr_truth<"is_const">(ks.get());
            if (is_const < 0) return -1;
            if (is_const) {
                const int in = PySequence_Contains(list.get(), ks.get());
                if (in < 0) return -1;
                if (!in) {
                    py::Ref text = py::get_attr<"const_text">(ks.get());
                    if (!text || PyList_Append(list.get(), text.get()) < 0) return -1;
                }
            }
        }
        field::FieldMetaRef fm_keep;
        const field::FieldMeta* fm = field_meta_view(field.get(), fm_keep);
        if (!fm) return -1;
        PyObject* transform = fm->validate ? child_transform : nullptr;
        if (gate && fm->validate) {
            const bool effective = fm->symbolic == Tri::Unset
                                       ? respect_raw_storage == Tri::True
                                       : fm->symbolic == Tri::True;
            if (!effective) {
                const int is_const = attr_truth<"is_const">(ks.get());
                if (is_const < 0) return -1;
                if (is_const) transform = nullptr;
            }
        }
        const Py_ssize_t n = PyList_GET_SIZE(list.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            py::Ref k = py::list_item(list.get(), i);
            if (!k) break;
            PyObject* gargs[] = {k.get(), bridge->missing_value.get()};
            py::Ref v = py::Ref::steal(PyObject_Vectorcall(getter.get(), gargs, 2, nullptr));
            if (!v) return -1;
            const int missing = PyObject_IsInstance(v.get(), bridge->missing_type.get());
            if (missing < 0) return -1;
            py::Ref result;
            if (missing) {
                result = missing_fill(fm->validate, field.get(), fm->value_spec.get(),
                                      ctx.allow_partial, transform, k.get(), ctx.root_path,
                                      inplace);
            } else if (transform) {
                py::Ref path = topology::child_key_path(k.get(), ctx.root_path);
                if (!path) return -1;
                result = call_field_apply(field.get(), v.get(), ctx.allow_partial, transform,
                                          path.get(), inplace);
            } else {
                FieldValue fv;
                if (!funnel_field_value(field.get(), *fm, k.get(), v.get(), ctx,
                                        FunnelOpts{nullptr, false, inplace, true}, fv))
                    return -1;
                result = std::move(fv.value);
            }
            if (!result || schema_set_if_changed(d, k.get(), result.get(), field.get(),
                                                 ctx.allow_partial) < 0)
                return -1;
        }
    }
    return 0;
}

// A new dict with the constant keys first, in declaration order, then the
// remaining keys of `d` in its order.
py::Ref constants_first(PyObject* fields, PyObject* d) {
    py::Ref out = py::Ref::steal(PyDict_New());
    if (!out) return {};
    py::DictCursor fc(fields);
    py::Ref ks, field;
    for (;;) {
        const int step = fc.next(ks, field);
        if (step < 0) return {};
        if (!step) break;
        const int is_const = attr_truth<"is_const">(ks.get());
        if (is_const < 0) return {};
        if (!is_const) continue;
        py::Ref text = py::get_attr<"const_text">(ks.get());
        if (!text) return {};
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(d, text.get(), &found) < 0) return {};
        py::Ref v = py::Ref::steal(found);
        if (v && PyDict_SetItem(out.get(), text.get(), v.get()) < 0) return {};
    }
    py::DictCursor dc(d);
    py::Ref k, v;
    for (;;) {
        const int step = dc.next(k, v);
        if (step < 0) return {};
        if (!step) break;
        if (PyDict_SetDefaultRef(out.get(), k.get(), v.get(), nullptr) < 0) return {};
    }
    return out;
}

PyObject* present(PyObject* arg) { return arg && arg != Py_None ? arg : nullptr; }

// The application itself; the caller holds the schema shared for the
// whole call.
py::Ref apply_held(const SchemaState& schema, PyObject* dict_obj, bool allow_partial,
                   PyObject* child_transform, PyObject* root_path, Tri respect_raw_storage,
                   bool inplace) {
    SchemaMetaRef meta = schema.meta.get();
    py::Ref d = inplace ? py::Ref::borrow(dict_obj) : py::call_imported<"copy", "copy">(dict_obj);
    if (!d) return {};
    const ApplyCtx ctx{root_path, allow_partial, false, true};
    // A dictionary of another class is read and written back key by key,
    // with Python code running between: a symbolic one is held for the pass
    // (other threads' writes, and its own thread's other than the
    // write-backs, are refused meanwhile), so a write-back never lands over
    // a newer write or brings back a removed key; a pass that fails takes
    // its write-backs back (applied_members.hpp).
    ContainerPassScope held;
    if (!PyDict_CheckExact(d.get()) && held.begin(d.get(), true) < 0) return {};
    int rc;
    if (!child_transform && PyDict_CheckExact(d.get())) {
        // A key that is not a str takes the general road, which refuses it.
        const OpenSchemaPlan* plan = open_plan_for(*meta, d.get());
        if (!meta->has_nonconst && funnel::str_keys_only(d.get()))
            rc = constant_road(*meta, d.get(), ctx, inplace);
        else if (!meta->has_nonconst)
            rc = general_road(schema, *meta, d.get(), ctx, nullptr, respect_raw_storage, inplace);
        else if (plan) rc = apply_open_road(*plan, d.get(), ctx, inplace);
        else rc = general_road(schema, *meta, d.get(), ctx, nullptr, respect_raw_storage, inplace);
    } else {
        rc = general_road(schema, *meta, d.get(), ctx, child_transform, respect_raw_storage,
                          inplace);
    }
    if (rc < 0 || held.commit() < 0) return {};
    if (inplace || !PyDict_CheckExact(d.get())) return d;
    return constants_first(schema.fields.get(), d.get());
}

}  // namespace

py::Params<6> kApplyParams{"apply",
                           {"dict_obj", "allow_partial=False", "child_transform=None",
                            "root_path=None", "respect_raw_storage=None", "inplace=True"},
                           6, 1};
py::Params<3> kValidateParams{"validate", {"dict_obj", "allow_partial=False", "root_path=None"},
                              3, 1};

py::Ref schema_apply_native(PyObject* schema, PyObject* dict_obj, bool allow_partial,
                            PyObject* child_transform, PyObject* root_path,
                            Tri respect_raw_storage, bool inplace) {
    Reading s(schema);
    if (!s) return {};
    return apply_held(*s, dict_obj, allow_partial, child_transform, root_path,
                      respect_raw_storage, inplace);
}

py::Ref schema_apply(PyObject* schema, PyObject* value, bool allow_partial,
                     PyObject* child_transform, PyObject* root_path, bool inplace) {
    PyObject* args[] = {schema,
                        value,
                        allow_partial ? Py_True : Py_False,
                        child_transform ? child_transform : Py_None,
                        root_path ? root_path : Py_None,
                        inplace ? Py_True : Py_False};
    return py::call_method_kw<"apply", "allow_partial", "child_transform", "root_path",
                              "inplace">(args);
}

PyObject* schema_py_apply(const Reading& self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    py::Args<6> a;
    if (!py::parse(kApplyParams, args, nargs, kwnames, a)) return nullptr;
    bool allow_partial = false, inplace = true, raw = false;
    if (!py::opt_bool("allow_partial", a[1], false, allow_partial)) return nullptr;
    if (!py::opt_bool("inplace", a[5], true, inplace)) return nullptr;
    Tri respect = Tri::Unset;
    if (present(a[4])) {
        if (!py::arg_bool("respect_raw_storage", a[4], raw)) return nullptr;
        respect = raw ? Tri::True : Tri::False;
    }
    return apply_held(*self, a[0], allow_partial, present(a[2]), present(a[3]), respect, inplace)
        .release();
}

PyObject* schema_py_validate(const Reading& self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    py::Args<3> a;
    if (!py::parse(kValidateParams, args, nargs, kwnames, a)) return nullptr;
    bool allow_partial = false;
    if (!py::opt_bool("allow_partial", a[1], false, allow_partial)) return nullptr;
    py::Ref copied = py::call_imported<"copy", "deepcopy">(a[0]);
    if (!copied) return nullptr;
    py::Ref done =
        apply_held(*self, copied.get(), allow_partial, nullptr, present(a[2]), Tri::Unset, true);
    return done ? py::none() : nullptr;
}

}  // namespace vesk::typing::schema
