// The compiled fill and its per-value step.
#include "symbolic/object/construct/fill.hpp"

#include "flags.hpp"
#include "py/args.hpp"
#include "py/named.hpp"
#include "symbolic/adoption.hpp"
#include "symbolic/dict/dict_ops.hpp"
#include "symbolic/list/list_ops.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/object_bridge.hpp"
#include "topology/key_path.hpp"
#include "typing/bridge.hpp"

namespace vesk::symbolic::object {

namespace {

using typing::funnel::FunnelOutcome;

// Wraps the raw dict or list `raw` of `field` into the installed symbolic
// container types: Filled, Declined when they are not installed, Error.
FillOutcome wrap_raw(const CompiledField& field, PyObject* raw, FillStep& step, py::Ref& out) {
    const typing::SymbolicContainerTypes* types = typing::symbolic_container_types();
    if (!types) return FillOutcome::Declined;
    const FillArgs& a = *step.args;
    py::Ref path;
    PyObject* owner = nullptr;
    if (step.meta->topo) {
        path = topology::child_key_path(field.key.get(), a.root_path);
        owner = a.owner;
    } else {
        const ObjectBridge* b = object_bridge();
        if (!b) return FillOutcome::Error;
        path = b->empty_key_path;
    }
    if (!path) return FillOutcome::Error;
    PyObject* spec = field.meta->value_spec.get();
    // The wrapped member is made for the object's construction.
    AdoptionLog::MadeFor made;
    if (Py_IS_TYPE(raw, &PyDict_Type)) {
        out = dict::wrap_dict(types->dict_type.get(), raw, spec, a.allow_partial, path.get(), owner);
    } else if (!PyList_Check(raw)) {
        py::raise_not_instance(raw, "list");
        return FillOutcome::Error;
    } else {
        out = list::wrap_list(types->list_type.get(), raw, spec, a.allow_partial, path.get(), owner);
    }
    return out ? FillOutcome::Filled : FillOutcome::Error;
}

// A raw container the funnel left to the caller.
FillOutcome take_container(const CompiledField& field, py::Ref raw, FillStep& step,
                           py::Ref& out) {
    const typing::field::FieldMeta& m = *field.meta;
    if (!m.scalar_elements) step.all_scalar = false;
    if (Py_IS_TYPE(raw.get(), &PyTuple_Type)) {
        // Tuples are stored as they are, never wrapped.
        if (!m.scalar_elements) step.all_primitive = false;
        out = std::move(raw);
        return FillOutcome::Filled;
    }
    step.all_primitive = false;
    const bool wrap = m.symbolic == typing::Tri::Unset ? step.meta->topo
                                                       : m.symbolic == typing::Tri::True;
    if (!wrap) {
        out = std::move(raw);
        return FillOutcome::Filled;
    }
    return wrap_raw(field, raw.get(), step, out);
}

}  // namespace

FillStep::FillStep(const CtorMeta& m, const FillArgs& a) noexcept : meta(&m), args(&a) {
    funnel.parent_path = a.root_path;
    funnel.allow_partial = false;
    funnel.no_path = m.has_attrs_builder;
}

FillOutcome fill_value(const CompiledField& field, PyObject* value, FillStep& step,
                       py::Ref& out) {
    FunnelOutcome r =
        typing::funnel::funnel_accept(value, *field.meta, field.key.get(), step.funnel);
    switch (r.kind) {
        case FunnelOutcome::Kind::Error:
            return FillOutcome::Error;
        case FunnelOutcome::Kind::Deferred:
            return FillOutcome::Declined;
        case FunnelOutcome::Kind::Wrap:
            return take_container(field, r.value ? std::move(r.value) : py::Ref::borrow(value),
                                  step, out);
        case FunnelOutcome::Kind::Verbatim:
            out = py::Ref::borrow(value);
            break;
        case FunnelOutcome::Kind::Produced:
            out = std::move(r.value);
            break;
    }
    if (!is_primitive(out.get())) {
        step.all_primitive = false;
        step.all_scalar = false;
    }
    return FillOutcome::Filled;
}

void raise_missing_arguments(PyObject* cls, PyObject* names) {
    const ObjectBridge* b = object_bridge();
    if (!b) return;
    const Py_ssize_t count = PyList_GET_SIZE(names);
    py::Ref name = py::get_attr<"__name__">(cls);
    py::Ref n = py::Ref::steal(PyLong_FromSsize_t(count));
    py::Ref word = py::Ref::steal(PyUnicode_FromString("argument"));
    if (!name || !n || !word) return;
    py::Ref plural = py::Ref::steal(
        PyObject_CallFunctionObjArgs(b->auto_plural.get(), n.get(), word.get(), nullptr));
    py::Ref listed = plural ? py::Ref::steal(PyObject_CallOneArg(b->comma_delimited_str.get(),
                                                                 names))
                            : py::Ref();
    if (!listed) return;
    PyErr_Format(PyExc_TypeError, "%S.__init__() missing %zd required %S: %S.", name.get(), count,
                 plural.get(), listed.get());
}

FillOutcome compiled_fill(const CtorMeta& meta, const FillArgs& args, FillResult& out) {
    if (!meta.has_compiled_fields) return FillOutcome::Declined;
    const std::optional<bool> forced = flags::forced(flags::FlagId::AllowPartial);
    if (forced ? *forced : args.allow_partial) return FillOutcome::Declined;
    py::Ref fields = py::Ref::steal(PyDict_New());
    if (!fields) return FillOutcome::Error;
    py::Ref missing;
    FillStep step(meta, args);
    for (const CompiledField& field : meta.compiled_fields) {
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(args.kwargs, field.key.get(), &found) < 0) return FillOutcome::Error;
        py::Ref value = py::Ref::steal(found);
        if (!value) {
            if (!field.default_value) {
                if (!missing && !(missing = py::Ref::steal(PyList_New(0))))
                    return FillOutcome::Error;
                py::Ref text = py::Ref::steal(PyObject_Str(field.key.get()));
                if (!text || PyList_Append(missing.get(), text.get()) < 0)
                    return FillOutcome::Error;
                continue;
            }
            if (field.container_default) return FillOutcome::Declined;
            const ObjectBridge* b = object_bridge();
            if (!b) return FillOutcome::Error;
            value = py::Ref::steal(
                PyObject_CallOneArg(b->copy_default.get(), field.default_value.get()));
            if (!value) return FillOutcome::Error;
        }
        py::Ref stored;
        const FillOutcome r = fill_value(field, value.get(), step, stored);
        if (r != FillOutcome::Filled) return r;
        if (PyDict_SetItem(fields.get(), field.key.get(), stored.get()) < 0)
            return FillOutcome::Error;
    }
    if (missing) {
        raise_missing_arguments(args.cls, missing.get());
        return FillOutcome::Error;
    }
    out.fields = std::move(fields);
    out.all_primitive = step.all_primitive;
    out.all_scalar = step.all_scalar;
    return FillOutcome::Filled;
}

}  // namespace vesk::symbolic::object
