// The order in which a SymDict presents its members symbolically, and the
// accessors that return raw stored values in that order. Under a schema the
// constant keys come first, in the schema's order; without one the storage
// order is the symbolic order.
#include "symbolic/dict/dict_ops.hpp"

#include "py/critical_section.hpp"
#include "symbolic/calls.hpp"
#include "typing/key_specs/key_specs.hpp"

namespace vesk::symbolic::dict {

namespace {

enum class Shape : unsigned char { Keys, Values, Items };

// `self[key]` as stored, or null without an error when another thread
// removed the key since the key list was taken.
bool stored_value(PyObject* self, PyObject* key, py::Ref& out) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(self, key, &found) < 0) return false;
    out = py::Ref::steal(found);
    return true;
}

// A new list of the members in symbolic order, shaped as keys, values or
// (key, value) pairs.
py::Ref members(PyObject* self, Shape shape) {
    py::Ref schema;
    if (bound_schema(self, schema) < 0) return {};
    if (!schema) {
        switch (shape) {
            case Shape::Keys: return py::Ref::steal(PyDict_Keys(self));
            case Shape::Values: return py::Ref::steal(PyDict_Values(self));
            case Shape::Items: return py::Ref::steal(PyDict_Items(self));
        }
    }
    py::Ref keys = schema_key_order(self, schema.get());
    if (!keys || shape == Shape::Keys) return keys;
    py::Ref out = py::Ref::steal(PyList_New(0));
    if (!out) return {};
    const Py_ssize_t n = PyList_GET_SIZE(keys.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::Ref key = py::list_item(keys.get(), i);
        if (!key) break;
        py::Ref value;
        if (!stored_value(self, key.get(), value)) return {};
        if (!value) continue;
        py::Ref entry = shape == Shape::Values
                            ? value
                            : py::Ref::steal(PyTuple_Pack(2, key.get(), value.get()));
        if (!entry || PyList_Append(out.get(), entry.get()) < 0) return {};
    }
    return out;
}

PyObject* iterate(py::Ref list) {
    return list ? PyObject_GetIter(list.get()) : nullptr;
}

}  // namespace

py::Ref schema_key_order(PyObject* self, PyObject* schema) {
    // Each allocation is checked before the schema's `keys()` runs: Python
    // code may not be called with a MemoryError pending.
    py::Ref out = py::Ref::steal(PyList_New(0));
    if (!out) return {};
    py::Ref taken = py::Ref::steal(PySet_New(nullptr));
    if (!taken) return {};
    py::Ref specs = call_method<"keys">(schema);
    if (!specs) return {};
    py::Ref it = py::Ref::steal(PyObject_GetIter(specs.get()));
    if (!it) return {};
    for (;;) {
        PyObject* raw = nullptr;
        const int r = PyIter_NextItem(it.get(), &raw);
        if (r < 0) return {};
        if (r == 0) break;
        py::Ref key_spec = py::Ref::steal(raw);
        if (!typing::key_specs::is_const_str_key(key_spec.get())) continue;
        // The key spec hashes and compares like its text.
        const int present = PyDict_Contains(self, key_spec.get());
        if (present < 0) return {};
        if (!present) continue;
        PyObject* text = typing::key_specs::const_str_key_text(key_spec.get());
        if (PyList_Append(out.get(), text) < 0 || PySet_Add(taken.get(), text) < 0) return {};
    }
    if (PySet_GET_SIZE(taken.get()) >= PyDict_Size(self)) return out;
    py::Ref keys = py::Ref::steal(PyDict_Keys(self));
    if (!keys) return {};
    const Py_ssize_t n = PyList_GET_SIZE(keys.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::Ref key = py::list_item(keys.get(), i);
        if (!key) break;
        const int seen = PySet_Contains(taken.get(), key.get());
        if (seen < 0) return {};
        if (!seen && PyList_Append(out.get(), key.get()) < 0) return {};
    }
    return out;
}

py::Ref items_list(PyObject* self) { return members(self, Shape::Items); }

PyObject* sym_keys(PyObject* self) { return iterate(members(self, Shape::Keys)); }
PyObject* sym_values(PyObject* self) { return iterate(members(self, Shape::Values)); }
PyObject* sym_items(PyObject* self) { return iterate(members(self, Shape::Items)); }

}  // namespace vesk::symbolic::dict
