// Which field claims which key, and the refusals: keys no field claims and
// required constant keys a dictionary lacks.
#include "typing/schema/drivers.hpp"
#include "typing/schema/schema_ops.hpp"

#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/dict_cursor.hpp"
#include "py/lazy.hpp"
#include "typing/value_spec/utilities/texts.hpp"

namespace vesk::typing::schema {

namespace {

// Item `i` of `list`, or null when the walk has reached the smaller of the
// starting and the current length.
py::Ref walk_item(PyObject* list, Py_ssize_t i, Py_ssize_t start_len) {
    return i < start_len ? py::list_item(list, i) : py::Ref{};
}

}  // namespace

bool resolve_inner(PyObject* schema, PyObject* keys, py::Ref& claimed, py::Ref& unclaimed) {
    const SchemaState& s = schema_state(schema);
    PyObject* fields = s.fields.get();
    const SchemaMeta& meta = *s.meta;
    unclaimed = py::Ref::steal(PyList_New(0));
    if (!unclaimed) return false;
    py::Ref k_list = py::Ref::steal(PySequence_List(keys));
    if (!k_list) return false;
    const Py_ssize_t n = PyList_GET_SIZE(k_list.get());

    if (!meta.has_nonconst) {
        for (Py_ssize_t i = 0;; ++i) {
            py::Ref k = walk_item(k_list.get(), i, n);
            if (!k) break;
            const int in = PyDict_Contains(fields, k.get());
            if (in < 0) return false;
            if (!in && PyList_Append(unclaimed.get(), k.get()) < 0) return false;
        }
        claimed = meta.const_resolution;
        return true;
    }

    py::Ref seen = py::Ref::steal(PySet_New(k_list.get()));
    if (!seen) return false;
    PyObject* nonconst = meta.nonconst_keys.get();
    py::Ref buckets = py::Ref::steal(PyDict_New());
    if (!buckets) return false;
    const Py_ssize_t nk = PyList_GET_SIZE(nonconst);
    for (Py_ssize_t j = 0;; ++j) {
        py::Ref ks = walk_item(nonconst, j, nk);
        if (!ks) break;
        py::Ref bucket = py::Ref::steal(PyList_New(0));
        if (!bucket || PyDict_SetItem(buckets.get(), ks.get(), bucket.get()) < 0) return false;
    }
    PyObject* match = py::intern<"match">();
    if (!match) return false;
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref k = walk_item(k_list.get(), i, n);
        if (!k) break;
        const int in = PyDict_Contains(fields, k.get());
        if (in < 0) return false;
        if (in) continue;
        bool taken = false;
        for (Py_ssize_t j = 0; !taken; ++j) {
            py::Ref ks = walk_item(nonconst, j, nk);
            if (!ks) break;
            py::Ref hit = py::Ref::steal(PyObject_CallMethodOneArg(ks.get(), match, k.get()));
            if (!hit) return false;
            const int truth = PyObject_IsTrue(hit.get());
            if (truth < 0) return false;
            if (!truth) continue;
            PyObject* bucket = nullptr;
            if (PyDict_GetItemRef(buckets.get(), ks.get(), &bucket) < 0) return false;
            py::Ref held = py::Ref::steal(bucket);
            if (bucket && PyList_Append(bucket, k.get()) < 0) return false;
            taken = true;
        }
        if (!taken && PyList_Append(unclaimed.get(), k.get()) < 0) return false;
    }

    claimed = py::Ref::steal(PyDict_New());
    if (!claimed) return false;
    py::DictCursor cursor(fields);
    py::Ref ks, field;
    for (;;) {
        const int step = cursor.next(ks, field);
        if (step < 0) return false;
        if (!step) break;
        const int is_const = attr_truth<"is_const">(ks.get());
        if (is_const < 0) return false;
        py::Ref list;
        if (is_const) {
            list = py::Ref::steal(PyList_New(0));
            if (!list) return false;
            const int present = PySet_Contains(seen.get(), ks.get());
            if (present < 0) return false;
            if (present) {
                py::Ref text = py::get_attr<"const_text">(ks.get());
                if (!text || PyList_Append(list.get(), text.get()) < 0) return false;
            }
        } else {
            PyObject* bucket = nullptr;
            if (PyDict_GetItemRef(buckets.get(), ks.get(), &bucket) < 0) return false;
            list = bucket ? py::Ref::steal(bucket) : py::Ref::steal(PyList_New(0));
            if (!list) return false;
        }
        if (PyDict_SetItem(claimed.get(), ks.get(), list.get()) < 0) return false;
    }
    return true;
}

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
    py::Ref keys = py::Ref::steal(PyObject_CallMethodNoArgs(d, py::intern<"keys">()));
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
            field::FieldMetaRef fm = field_meta_for(f.get());
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
        py::SharedBorrow b(schema_borrow(schema));
        if (!b.acquire()) return {};
        fields = schema_state(schema).fields;
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
