// The refusals of a dictionary's keys: keys no field claims and required
// constant keys a dictionary lacks. Which field claims which key is
// key_resolution.cpp.
#include "typing/meta_epoch.hpp"
#include "typing/schema/drivers.hpp"
#include "typing/schema/schema_ops.hpp"

#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/dict_cursor.hpp"
#include "py/named.hpp"
#include "typing/value_spec/utilities/texts.hpp"

namespace vesk::typing::schema {

void raise_disallowed_keys(PyObject* keys, PyObject* root_path) {
    py::Ref keys_text = py::Ref::steal(PyObject_Str(keys));
    if (!keys_text) return;
    py::Ref parent = path_text_of(root_path, NoPath::None);
    if (!parent) return;
    py::Ref msg = py::Ref::steal(PyUnicode_FromFormat(
        "Keys %U are not allowed in Schema. (parent='%U')", keys_text.get(), parent.get()));
    if (msg) PyErr_SetObject(PyExc_KeyError, msg.get());
}

namespace {

// The keys of `d` not in `allowed`, in `d`'s order. A plain dict's `keys()`
// cannot be replaced and a frozenset's containment is its own, so that pair
// is walked directly, one locked step at a time; anything else goes through
// `d.keys()` and `in`.
py::Ref extra_keys(PyObject* allowed, PyObject* d) {
    py::Ref extra = py::Ref::steal(PyList_New(0));
    if (!extra) return {};
    if (PyDict_CheckExact(d) && PyFrozenSet_CheckExact(allowed)) {
        py::DictCursor cursor(d);
        py::Ref k, v;
        for (;;) {
            const int step = cursor.next(k, v);
            if (step < 0) return {};
            if (!step) return extra;
            const int in = PySet_Contains(allowed, k.get());
            if (in < 0) return {};
            if (!in && PyList_Append(extra.get(), k.get()) < 0) return {};
        }
    }
    py::Ref keys = py::call_method<"keys">(d);
    if (!keys) return {};
    py::Ref it = py::Ref::steal(PyObject_GetIter(keys.get()));
    if (!it) return {};
    while (py::Ref k = py::Ref::steal(PyIter_Next(it.get()))) {
        const int in = PySequence_Contains(allowed, k.get());
        if (in < 0) return {};
        if (!in && PyList_Append(extra.get(), k.get()) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
    return extra;
}

}  // namespace

int raise_if_extra_keys(PyObject* allowed, PyObject* d, PyObject* root_path) {
    py::Ref extra = extra_keys(allowed, d);
    if (!extra) return -1;
    if (PyList_GET_SIZE(extra.get()) == 0) return 0;
    // Keys that do not compare with each other (a str and an int) keep the
    // dictionary's order, so the caller still learns which keys are refused
    // rather than why they cannot be sorted.
    py::Ref sorted = py::Ref::steal(PySequence_List(extra.get()));
    if (!sorted) return -1;
    if (PyList_Sort(sorted.get()) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
        PyErr_Clear();
        sorted = std::move(extra);
    }
    raise_disallowed_keys(sorted.get(), root_path);
    return -1;
}

py::Ref missing_required_keys(PyObject* schema, PyObject* d, bool symbolic_default) {
    // Field records are borrowed for the rest of the call.
    field::ReadSection reading;
    if (!PyDict_Check(d)) {
        py::raise_arg_type("d", "dict", d);
        return {};
    }
    SchemaMetaRef meta = schema_meta(schema);
    if (!meta) return {};
    py::Ref out = py::Ref::steal(PyList_New(0));
    if (!out) return {};
    const std::vector<py::Ref>* consts = nullptr;
    if (!meta->has_nonconst) consts = &meta->const_fields;
    else if (meta->open_plan) consts = &meta->open_plan->const_fields;
    if (consts) {
        for (const py::Ref& f : *consts) {
            field::FieldMetaRef fm_keep;
            const field::FieldMeta* fm = field_meta_view(f.get(), fm_keep);
            if (!fm) return {};
            const bool sym = fm->symbolic == Tri::Unset ? symbolic_default
                                                        : fm->symbolic == Tri::True;
            if (fm->has_default && (!fm->default_carries_missing || sym)) continue;
            const int in = PyDict_Contains(d, fm->const_text.get());
            if (in < 0) return {};
            if (!in && PyList_Append(out.get(), fm->const_text.get()) < 0) return {};
        }
        return out;
    }
    py::Ref fields;
    {
        Reading s(schema);
        if (!s) return {};
        fields = s->fields;
    }
    py::DictCursor cursor(fields.get());
    py::Ref ks, field;
    for (;;) {
        const int step = cursor.next(ks, field);
        if (step < 0) return {};
        if (!step) break;
        py::Ref spec = py::get_attr<"value">(field.get());
        if (!spec) return {};
        const int has_default = attr_truth<"has_default">(spec.get());
        if (has_default < 0) return {};
        if (has_default) continue;
        const int is_const = attr_truth<"is_const">(ks.get());
        if (is_const < 0) return {};
        if (!is_const) continue;
        const int in = PyDict_Contains(d, ks.get());
        if (in < 0) return {};
        if (in) continue;
        py::Ref text = py::Ref::steal(PyObject_Str(ks.get()));
        if (!text || PyList_Append(out.get(), text.get()) < 0) return {};
    }
    return out;
}

}  // namespace vesk::typing::schema
