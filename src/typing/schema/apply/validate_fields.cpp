// The validation of a construct's keyword dict against a schema, for object
// construction: a new dict of field values, each through the funnel or the
// field's own apply, missing keys filled from defaults, extra keys refused.
#include "typing/meta_epoch.hpp"
#include "typing/schema/drivers.hpp"
#include "typing/schema/schema_ops.hpp"

#include "py/args.hpp"
#include "py/named.hpp"
#include "topology/key_path.hpp"
#include "typing/bridge.hpp"

namespace vesk::typing::schema {

bool missing_field_value(PyObject* f, const field::FieldMeta& fm, PyObject* key,
                         const ConstructArgs& args, py::Ref& stored, bool& scalar) {
    const bool sym = fm.symbolic == Tri::Unset ? args.symbolic_default : fm.symbolic == Tri::True;
    // The child path is built only where it is handed on.
    py::Ref path;
    auto make_path = [&]() {
        if (args.no_child_paths || path) return true;
        path = topology::child_key_path(key, args.root_path);
        return static_cast<bool>(path);
    };
    if (fm.has_default && (!fm.default_carries_missing || sym)) {
        PyObject* margs[] = {fm.value_spec.get(), args.allow_partial ? Py_True : Py_False};
        stored = py::call_method_kw<"materialize_default", "allow_partial">(margs);
        if (!stored) return false;
        if (sym && fm.validate && args.transform) {
            py::Ref factory = py::get_attr<"default_factory">(fm.value_spec.get());
            if (!factory) return false;
            if (factory.get() != Py_None) {
                if (!make_path()) return false;
                PyObject* targs[] = {path ? path.get() : Py_None, f, stored.get()};
                stored = py::Ref::steal(PyObject_Vectorcall(args.transform, targs, 3, nullptr));
                if (!stored) return false;
            }
        }
        scalar = is_scalar_value(stored.get());
    } else if (args.allow_partial) {
        const TypingBridge* bridge = typing_bridge();
        if (!bridge || !make_path()) return false;
        stored = call_field_apply(f, bridge->missing_value.get(), true,
                                  sym ? args.transform : nullptr, path.get(), true);
        if (!stored) return false;
        scalar = false;
    }
    return true;
}

bool validate_fields_native(PyObject* schema, PyObject* source, const ConstructArgs& given,
                            Validated& out) {
    // None is the package's "no child transform", never a callable.
    ConstructArgs args = given;
    if (args.transform == Py_None) args.transform = nullptr;
    // Field records are borrowed for the rest of the call.
    field::ReadSection reading;
    SchemaMetaRef meta = schema_meta(schema);
    if (!meta) return false;
    const ApplyCtx ctx{args.root_path, args.allow_partial, args.no_child_paths,
                       args.child_paths_for_transform};
    if (meta->has_nonconst) {
        const OpenSchemaPlan* plan = PyDict_Check(source) ? open_plan_for(*meta, source) : nullptr;
        if (plan)
            return validate_fields_open(*plan, source, ctx, args.transform,
                                        args.symbolic_default, out);
        out.fields = schema_apply_native(schema, source, args.allow_partial, args.transform,
                                         args.root_path,
                                         args.symbolic_default ? Tri::True : Tri::False, false);
        out.all_scalar = false;
        return static_cast<bool>(out.fields);
    }
    if (!PyDict_Check(source)) {
        py::raise_arg_type("source", "dict", source);
        return false;
    }
    if (!typing_bridge()) return false;
    py::Ref o = py::Ref::steal(PyDict_New());
    if (!o) return false;
    bool all_scalar = true;
    for (const py::Ref& f : meta->const_fields) {
        field::FieldMetaRef fm_keep;
        const field::FieldMeta* fm = field_meta_view(f.get(), fm_keep);
        if (!fm) return false;
        PyObject* key = fm->const_text.get();
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(source, key, &found) < 0) return false;
        py::Ref value = py::Ref::steal(found);
        py::Ref stored;
        if (value) {
            FieldValue fv;
            if (!funnel_field_value(f.get(), *fm, key, value.get(), ctx,
                                    FunnelOpts{args.transform, args.skip_validation, true,
                                               args.symbolic_default},
                                    fv))
                return false;
            all_scalar &= fv.scalar;
            stored = std::move(fv.value);
        } else {
            bool scalar = true;
            if (!missing_field_value(f.get(), *fm, key, args, stored, scalar)) return false;
            if (!stored) continue;
            all_scalar &= scalar;
        }
        if (PyDict_SetItem(o.get(), key, stored.get()) < 0) return false;
    }
    if (raise_if_extra_keys(meta->const_text_set.get(), source, args.root_path) < 0) return false;
    out.fields = std::move(o);
    out.all_scalar = all_scalar;
    return true;
}

}  // namespace vesk::typing::schema
