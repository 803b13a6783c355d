// The per-value and per-field drivers of schema application: calls into
// fields and value specs by attribute name, the fill of a missing key, the
// road of one present value and one constant field of a fast road.
#include "typing/meta_epoch.hpp"
#include "typing/schema/drivers.hpp"

#include "hooks.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/named.hpp"
#include "topology/key_path.hpp"
#include "typing/applied_members.hpp"
#include "typing/bridge.hpp"
#include "typing/value_spec/engine/classify.hpp"
#include "typing/funnel/funnel.hpp"

namespace vesk::typing::schema {

namespace {

PyObject* boolean_of(bool b) noexcept { return b ? Py_True : Py_False; }

py::Ref spec_apply(PyObject* value_spec, PyObject* value, bool allow_partial,
                   PyObject* root_path, bool inplace) {
    PyObject* args[] = {value_spec, value, boolean_of(allow_partial),
                        root_path ? root_path : Py_None, boolean_of(inplace)};
    return py::call_method_kw<"apply", "allow_partial", "root_path", "inplace">(args);
}

py::Ref materialize_default(PyObject* value_spec, bool allow_partial) {
    PyObject* args[] = {value_spec, boolean_of(allow_partial)};
    return py::call_method_kw<"materialize_default", "allow_partial">(args);
}

bool effective_symbolic(const field::FieldMeta& meta, bool fallback) noexcept {
    return meta.symbolic == Tri::Unset ? fallback : meta.symbolic == Tri::True;
}

py::Ref call_transform(PyObject* transform, PyObject* field, PyObject* c, PyObject* path) {
    PyObject* targs[] = {path, field, c};
    return py::Ref::steal(PyObject_Vectorcall(transform, targs, 3, nullptr));
}

// A scalar-identity transform that also states the allow_partial of its
// symbolic wrapping stands for the package's own wrapping of an accepted
// dict or list: with the package's container classes installed, the
// wrap-node hook builds the node natively, bound to the field's spec,
// instead of a call of the transform.
py::Ref wrap_or_transform(PyObject* transform, PyObject* field, const field::FieldMeta& meta,
                          PyObject* c, PyObject* path) {
    py::Ref allow_partial;
    const int stated = py::get_optional_attr<"_vesk_allow_partial">(transform, allow_partial);
    if (stated < 0) return {};
    const SymbolicContainerTypes* types = symbolic_container_types();
    hooks::WrapNodeFn* wrap = hooks::WRAP_NODE_HOOK.get();
    if (!stated || !types || !wrap) return call_transform(transform, field, c, path);
    const int truth = PyObject_IsTrue(allow_partial.get());
    if (truth < 0) return {};
    PyObject* cls = Py_TYPE(c) == &PyDict_Type ? types->dict_type.get() : types->list_type.get();
    return py::Ref::steal(wrap(cls, c, meta.value_spec.get(), truth ? 1 : 0, path));
}

}  // namespace

bool is_scalar_value(PyObject* value) noexcept {
    if (value == Py_None) return true;
    PyTypeObject* t = Py_TYPE(value);
    return t == &PyLong_Type || t == &PyFloat_Type || t == &PyUnicode_Type ||
           t == &PyBool_Type || t == &PyBytes_Type;
}

py::Ref call_field_apply(PyObject* field, PyObject* value, bool allow_partial,
                         PyObject* transform, PyObject* root_path, bool inplace) {
    PyObject* args[] = {field, value, boolean_of(allow_partial),
                        transform ? transform : Py_None, root_path ? root_path : Py_None,
                        boolean_of(inplace)};
    return py::call_method_kw<"apply", "allow_partial", "transform_fn", "root_path", "inplace">(
        args);
}

py::Ref missing_fill(bool validate, PyObject* field, PyObject* value_spec, bool allow_partial,
                     PyObject* transform, PyObject* key, PyObject* root_path, bool inplace) {
    if (!validate) {
        const TypingBridge* bridge = typing_bridge();
        if (!bridge) return {};
        PyObject* args[] = {value_spec, boolean_of(allow_partial)};
        return py::Ref::steal(
            PyObject_Vectorcall(bridge->default_without_apply.get(), args, 2, nullptr));
    }
    py::Ref d = materialize_default(value_spec, allow_partial);
    if (!d) return {};
    py::Ref path = topology::child_key_path(key, root_path);
    if (!path) return {};
    if (transform)
        return call_field_apply(field, d.get(), allow_partial, transform, path.get(), inplace);
    py::Ref validator = py::get_attr<"validator">(field);
    if (!validator) return {};
    if (validator.get() == Py_None)
        return spec_apply(value_spec, d.get(), allow_partial, path.get(), inplace);
    return call_field_apply(field, d.get(), allow_partial, nullptr, path.get(), inplace);
}

bool funnel_field_value(PyObject* field, const field::FieldMeta& meta, PyObject* key,
                        PyObject* value, const ApplyCtx& ctx, const FunnelOpts& opts,
                        FieldValue& out) {
    if (opts.skip_validation || !meta.validate) {
        out.value = py::Ref::borrow(value);
        out.scalar = is_scalar_value(value);
        return true;
    }
    funnel::FunnelOutcome got = funnel::funnel_accept(
        value, meta, key,
        funnel::FunnelCtx{ctx.root_path, ctx.allow_partial, ctx.no_child_paths, opts.inplace});
    using Kind = funnel::FunnelOutcome::Kind;
    const bool symbolic = effective_symbolic(meta, opts.symbolic_default);
    switch (got.kind) {
        case Kind::Error:
            return false;
        case Kind::Verbatim:
            out.value = py::Ref::borrow(value);
            out.scalar = is_scalar_value(value);
            return true;
        case Kind::Produced:
            out.value = std::move(got.value);
            out.scalar = is_scalar_value(out.value.get());
            return true;
        case Kind::Wrap: {
            PyObject* c = got.value.get();
            // A transform that declares itself an identity on scalars leaves
            // tuples as they are; any other container of a symbolic field is
            // handed to it.
            if (symbolic && opts.transform) {
                const int marked = funnel::is_scalar_identity_transform(opts.transform);
                if (marked < 0) return false;
                if (!(marked && Py_TYPE(c) == &PyTuple_Type)) {
                    py::Ref path = ctx.child_paths_for_transform
                                       ? topology::child_key_path(key, ctx.root_path)
                                       : topology::make_key_path(std::span<const topology::Key>{});
                    if (!path) return false;
                    out.value = marked ? wrap_or_transform(opts.transform, field, meta, c, path.get())
                                       : call_transform(opts.transform, field, c, path.get());
                    if (!out.value) return false;
                    out.scalar = is_scalar_value(out.value.get());
                    return true;
                }
            }
            out.value = std::move(got.value);
            out.scalar = is_scalar_value(c) || meta.scalar_elements;
            return true;
        }
        case Kind::Deferred:
            break;
    }
    py::Ref path;
    if (!ctx.no_child_paths) {
        path = topology::child_key_path(key, ctx.root_path);
        if (!path) return false;
    }
    out.value = call_field_apply(field, value, ctx.allow_partial, symbolic ? opts.transform : nullptr,
                                 path.get(), opts.inplace);
    if (!out.value) return false;
    out.scalar = is_scalar_value(out.value.get());
    return true;
}

int schema_set_if_changed(PyObject* d, PyObject* key, PyObject* value, PyObject* field,
                          bool allow_partial) {
    if (PyDict_CheckExact(d)) {
        // A plain dict's containment is its own lookup: one probe answers both.
        PyObject* current = nullptr;
        const int found = PyDict_GetItemRef(d, key, &current);
        if (found < 0) return -1;
        py::Ref held = py::Ref::steal(current);
        if (current == value) return 0;
        return PyDict_SetItem(d, key, value);
    }
    // The value held is read without `__getitem__`, which only a dict (or
    // subclass) allows: a mapping of another kind that already holds the
    // key is refused before anything is written; one that lacks it gets the
    // new entry through its item assignment.
    const int present = PySequence_Contains(d, key);
    if (present < 0) return -1;
    if (present) {
        if (!PyDict_Check(d)) {
            py::raise_arg_type("dict_obj", "dict", d);
            return -1;
        }
        PyObject* current = nullptr;
        if (PyDict_GetItemRef(d, key, &current) < 0) return -1;
        py::Ref held = py::Ref::steal(current);
        if (current == value) return 0;
    }
    // A symbolic dict's write takes the value as applied by `field`: when
    // that is its own field, it wraps and adopts it without applying it
    // again (applied_members.hpp).
    AppliedWriteScope named(d, key, value, Applied::ThroughField, field, allow_partial);
    return PyObject_SetItem(d, key, value);
}

int apply_const_field_inplace(PyObject* target, PyObject* source, PyObject* field,
                              const ApplyCtx& ctx, bool inplace, bool* ran_code) {
    // Field records are borrowed for the rest of the call.
    field::ReadSection reading;
    field::FieldMetaRef meta_keep;
    const field::FieldMeta* meta = field_meta_view(field, meta_keep);
    if (!meta) return -1;
    PyObject* key = meta->const_text.get();
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(source, key, &found) < 0) return -1;
    py::Ref value = py::Ref::steal(found);
    py::Ref result;
    bool pure = false;
    if (value && meta->validate) {
        // The pure tier decides most leaves without any Python code.
        funnel::FunnelOutcome leaf = funnel::funnel_leaf(value.get(), *meta);
        using Kind = funnel::FunnelOutcome::Kind;
        if (leaf.kind == Kind::Error) return -1;
        if (leaf.kind == Kind::Verbatim) {
            result = value;
            pure = true;
        } else if (leaf.kind == Kind::Produced &&
                   !funnel::leaf_needs_check(*meta, leaf.value.get())) {
            result = std::move(leaf.value);
            pure = true;
        }
    } else if (value) {
        result = value;  // a field that does not validate keeps the value
        pure = true;
    }
    if (!pure) {
        if (value) {
            FieldValue fv;
            if (!funnel_field_value(field, *meta, key, value.get(), ctx,
                                    FunnelOpts{nullptr, false, inplace, true}, fv))
                return -1;
            result = std::move(fv.value);
        } else {
            result = missing_fill(meta->validate, field, meta->value_spec.get(),
                                  ctx.allow_partial, nullptr, key, ctx.root_path, inplace);
            if (!result) return -1;
        }
        if (ran_code) *ran_code = true;
    }
    return schema_set_if_changed(target, key, result.get(), field, ctx.allow_partial);
}

}  // namespace vesk::typing::schema
