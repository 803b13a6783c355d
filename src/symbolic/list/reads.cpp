// SymList reads: item reads and iteration give the user-facing items (an
// inferential item replaced by what its `infer()` answers); the `sym_`
// accessors used by symbolic walks give the stored items.
//
// Reads copy what they need from the storage under its lock (one item, or
// one slice copy) and run `infer()` afterwards on their own copy, so a list
// changed meanwhile never makes a read see freed memory.
#include "symbolic/list/list_ops.hpp"

#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/named.hpp"
#include "symbolic/container/sorting.hpp"
#include "symbolic/markers.hpp"

namespace vesk::symbolic::list {

namespace {

// Replaces each inferential item of `items` (a list nothing else holds)
// by its inferred value.
bool resolve_all(PyObject* items) {
    const Py_ssize_t n = PyList_GET_SIZE(items);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(items, i);
        const int inferential = is_inferential(item);
        if (inferential < 0) return false;
        if (!inferential) continue;
        py::Ref value = py::call_method<"infer">(item);
        if (!value || PyList_SetItem(items, i, value.release()) < 0) return false;
    }
    return true;
}

// The item at `index` (negative counts from the end), or IndexError.
py::Ref item_at(PyObject* self, std::int64_t index) {
    const Py_ssize_t n = PyList_GET_SIZE(self);
    py::Ref item;
    if (index >= -n && index < n) item = py::list_item(self, index < 0 ? index + n : index);
    if (!item) PyErr_SetString(PyExc_IndexError, "list index out of range");
    return item;
}

}  // namespace

py::Ref resolve(py::Ref stored) {
    const int inferential = is_inferential(stored.get());
    if (inferential <= 0) return inferential < 0 ? py::Ref() : stored;
    return py::call_method<"infer">(stored.get());
}

py::Ref raw_items(PyObject* self) {
    // While a sort runs the storage is empty: a copy read then would be one
    // of nothing (sorting.hpp).
    py::CriticalSection guard(self);
    if (refused_by_sort(self)) return {};
    return py::Ref::steal(PyList_GetSlice(self, 0, PY_SSIZE_T_MAX));
}

PyObject* subscript(PyObject* self, PyObject* key) {
    if (Py_IS_TYPE(key, &PySlice_Type)) {
        // The built-in slice read: a plain list copied under the lock.
        py::Ref items = py::Ref::steal(PyList_Type.tp_as_mapping->mp_subscript(self, key));
        if (!items || !resolve_all(items.get())) return nullptr;
        return items.release();
    }
    if (!PyLong_Check(key)) {
        PyErr_Format(PyExc_TypeError, "list index must be an integer. Encountered %R.", key);
        return nullptr;
    }
    const long long index = PyLong_AsLongLong(key);
    if (index == -1 && PyErr_Occurred()) return nullptr;
    py::Ref item = item_at(self, index);
    return item ? resolve(std::move(item)).release() : nullptr;
}

PyObject* iter(PyObject* self) {
    py::Ref items = raw_items(self);
    if (!items || !resolve_all(items.get())) return nullptr;
    return PyObject_GetIter(items.get());
}

PyObject* sym_keys(PyObject* self) {
    const Py_ssize_t n = PyList_GET_SIZE(self);
    py::Ref keys = py::Ref::steal(PyList_New(n));
    if (!keys) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyLong_FromSsize_t(i);
        if (!key) return nullptr;
        PyList_SET_ITEM(keys.get(), i, key);
    }
    return PyObject_GetIter(keys.get());
}

PyObject* sym_values(PyObject* self) {
    py::Ref items = raw_items(self);
    return items ? PyObject_GetIter(items.get()) : nullptr;
}

PyObject* sym_items(PyObject* self) {
    py::Ref items = raw_items(self);
    if (!items) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = Py_BuildValue("(nO)", i, PyList_GET_ITEM(items.get(), i));
        if (!pair || PyList_SetItem(items.get(), i, pair) < 0) return nullptr;
    }
    return PyObject_GetIter(items.get());
}

PyObject* sym_hasattr(PyObject* self, PyObject* key) {
    if (!PyLong_Check(key)) return py::boolean(false);
    const long long index = PyLong_AsLongLong(key);
    if (index == -1 && PyErr_Occurred()) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(self);
    return py::boolean(index >= -n && index < n);
}

PyObject* sym_getattr(PyObject* self, PyObject* key) {
    std::int64_t index = 0;
    if (!py::arg_i64("key", key, index)) return nullptr;
    return item_at(self, index).release();
}

}  // namespace vesk::symbolic::list
