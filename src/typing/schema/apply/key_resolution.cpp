// Which field claims which key of a dictionary: constant keys by the fields
// dict itself, every other key by the first non-constant key spec whose
// `match` accepts it.
#include "typing/schema/drivers.hpp"
#include "typing/schema/schema_ops.hpp"

#include "py/critical_section.hpp"
#include "py/dict_cursor.hpp"
#include "py/named.hpp"

namespace vesk::typing::schema {

namespace {

// Item `i` of `list`, or null when the walk has reached the smaller of the
// starting and the current length.
py::Ref walk_item(PyObject* list, Py_ssize_t i, Py_ssize_t start_len) {
    return i < start_len ? py::list_item(list, i) : py::Ref{};
}

}  // namespace

bool resolve_inner(const SchemaState& schema, PyObject* keys, py::Ref& claimed,
                   py::Ref& unclaimed) {
    PyObject* fields = schema.fields.get();
    const SchemaMeta& meta = *schema.meta;
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
            py::Ref hit = py::call_method<"match">(ks.get(), k.get());
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

}  // namespace vesk::typing::schema
