// The open plan's roads: a dictionary whose keys are all str, against a
// schema of constant keys plus one plain str wildcard. Constant keys are
// found through the plan's native text index; every other key goes to the
// wildcard field without a key spec call.
#include "typing/meta_epoch.hpp"
#include "typing/schema/drivers.hpp"

#include "py/critical_section.hpp"
#include "py/dict_cursor.hpp"
#include "topology/key_path.hpp"
#include "typing/value_spec/engine/classify.hpp"
#include "typing/funnel/dict_bulk.hpp"

namespace vesk::typing::schema {

const OpenSchemaPlan* open_plan_for(const SchemaMeta& meta, PyObject* d) {
    const OpenSchemaPlan* plan = meta.open_plan.get();
    if (!plan) return nullptr;
    // Type tests only, so the keys are scanned in place under the dict's
    // critical section: the same answer as a snapshot of them, without one.
    return funnel::str_keys_only(d) ? plan : nullptr;
}

int apply_open_road(const OpenSchemaPlan& plan, PyObject* d, const ApplyCtx& ctx, bool inplace) {
    // Field records are borrowed for the rest of the call.
    field::ReadSection reading;
    const std::size_t total = plan.const_fields.size();
    for (std::size_t i = 0; i < plan.wildcard_pos && i < total; ++i)
        if (apply_const_field_inplace(d, d, plan.const_fields[i].get(), ctx, inplace) < 0)
            return -1;
    field::FieldMetaRef wm_keep;
    const field::FieldMeta* wm = field_meta_view(plan.wildcard_field.get(), wm_keep);
    if (!wm) return -1;
    // The whole residue is collected before the first write-back, so this
    // road's own writes never disturb its scan.
    std::vector<std::pair<py::Ref, py::Ref>> residue;
    {
        py::DictCursor cursor(d);
        py::Ref k, v;
        for (;;) {
            const int step = cursor.next(k, v);
            if (step < 0) return -1;
            if (!step) break;
            if (!key_in_plan_consts(plan.index, k.get())) residue.emplace_back(k, v);
        }
    }
    const FunnelOpts opts{nullptr, false, inplace, true};
    for (const auto& [k, v] : residue) {
        FieldValue fv;
        if (!funnel_field_value(plan.wildcard_field.get(), *wm, k.get(), v.get(), ctx, opts, fv))
            return -1;
        if (schema_set_if_changed(d, k.get(), fv.value.get(), plan.wildcard_field.get(),
                                  ctx.allow_partial) < 0)
            return -1;
    }
    for (std::size_t i = plan.wildcard_pos; i < total; ++i)
        if (apply_const_field_inplace(d, d, plan.const_fields[i].get(), ctx, inplace) < 0)
            return -1;
    return 0;
}

namespace {

// One field's value on the open construct road; `value` null = missing.
// `symbolic` is the caller's tri-state: the wildcard passes Unset.
bool open_fill_value(PyObject* field, const field::FieldMeta& meta, PyObject* key,
                     PyObject* value, const ApplyCtx& ctx, PyObject* transform,
                     bool scalar_identity, Tri symbolic, FieldValue& out) {
    const bool effective =
        meta.symbolic == Tri::Unset ? symbolic == Tri::True : meta.symbolic == Tri::True;
    const bool takes_transform = meta.validate && (symbolic == Tri::Unset || effective);
    if (!value) {
        out.value = missing_fill(meta.validate, field, meta.value_spec.get(), ctx.allow_partial,
                                 takes_transform ? transform : nullptr, key, ctx.root_path,
                                 false);
        if (!out.value) return false;
        out.scalar = is_scalar_value(out.value.get());
        return true;
    }
    if (takes_transform && transform && !(scalar_identity && is_scalar_value(value))) {
        py::Ref path = topology::child_key_path(key, ctx.root_path);
        if (!path) return false;
        out.value = call_field_apply(field, value, ctx.allow_partial, transform, path.get(), false);
        if (!out.value) return false;
        out.scalar = is_scalar_value(out.value.get());
        return true;
    }
    return funnel_field_value(field, meta, key, value, ctx,
                              FunnelOpts{nullptr, false, false, symbolic != Tri::False}, out);
}

}  // namespace

bool validate_fields_open(const OpenSchemaPlan& plan, PyObject* source, const ApplyCtx& ctx,
                          PyObject* transform, bool symbolic_default, Validated& out) {
    // Field records are borrowed for the rest of the call.
    field::ReadSection reading;
    py::Ref o = py::Ref::steal(PyDict_New());
    if (!o) return false;
    bool all_scalar = true;
    bool scalar_identity = false;
    if (transform) {
        const int marked = funnel::is_scalar_identity_transform(transform);
        if (marked < 0) return false;
        scalar_identity = marked == 1;
    }
    const Tri sym = symbolic_default ? Tri::True : Tri::False;
    auto constant = [&](std::size_t i) {
        PyObject* f = plan.const_fields[i].get();
        field::FieldMetaRef fm_keep;
        const field::FieldMeta* fm = field_meta_view(f, fm_keep);
        if (!fm) return false;
        PyObject* key = fm->const_text.get();
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(source, key, &found) < 0) return false;
        py::Ref value = py::Ref::steal(found);
        FieldValue fv;
        if (!open_fill_value(f, *fm, key, value.get(), ctx, transform, scalar_identity, sym, fv))
            return false;
        all_scalar &= fv.scalar;
        return PyDict_SetItem(o.get(), key, fv.value.get()) == 0;
    };
    const std::size_t total = plan.const_fields.size();
    for (std::size_t i = 0; i < plan.wildcard_pos && i < total; ++i)
        if (!constant(i)) return false;
    field::FieldMetaRef wm_keep;
    const field::FieldMeta* wm = field_meta_view(plan.wildcard_field.get(), wm_keep);
    if (!wm) return false;
    std::vector<std::pair<py::Ref, py::Ref>> residue;
    {
        py::DictCursor cursor(source);
        py::Ref k, v;
        for (;;) {
            const int step = cursor.next(k, v);
            if (step < 0) return false;
            if (!step) break;
            if (key_in_plan_consts(plan.index, k.get())) continue;
            FieldValue fv;
            if (!open_fill_value(plan.wildcard_field.get(), *wm, k.get(), v.get(), ctx, transform,
                                 scalar_identity, Tri::Unset, fv))
                return false;
            all_scalar &= fv.scalar;
            residue.emplace_back(k, std::move(fv.value));
        }
    }
    for (std::size_t i = plan.wildcard_pos; i < total; ++i)
        if (!constant(i)) return false;
    for (const auto& [k, v] : residue)
        if (PyDict_SetItem(o.get(), k.get(), v.get()) < 0) return false;
    out.fields = std::move(o);
    out.all_scalar = all_scalar;
    return true;
}

}  // namespace vesk::typing::schema
