#include "typing/value_spec/utilities/open_value_spec.hpp"

#include "py/lazy.hpp"
#include "typing/bridge.hpp"

namespace vesk::typing {

namespace {

// The pieces of a one-item mapping view entry, unpacked as `key, value = item`.
bool unpack_pair(PyObject* item, py::Ref& first, py::Ref& second) {
    py::Ref tuple = py::Ref::steal(PySequence_Tuple(item));
    if (!tuple) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(tuple.get());
    if (n != 2) {
        if (n < 2)
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        else
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", n);
        return false;
    }
    first = py::Ref::borrow(PyTuple_GET_ITEM(tuple.get(), 0));
    second = py::Ref::borrow(PyTuple_GET_ITEM(tuple.get(), 1));
    return true;
}

}  // namespace

int compute_open_str_value_spec(PyObject* schema, py::Ref& out) {
    if (!schema || schema == Py_None) return 0;
    py::Ref fields = py::get_attr<"fields">(schema);
    if (!fields) return -1;
    const Py_ssize_t n = PyObject_Size(fields.get());
    if (n != 1) return n < 0 ? -1 : 0;

    PyObject* items_name;
    if (!py::intern<"items">(items_name)) return -1;
    py::Ref items = py::Ref::steal(PyObject_CallMethodNoArgs(fields.get(), items_name));
    if (!items) return -1;
    py::Ref it = py::Ref::steal(PyObject_GetIter(items.get()));
    if (!it) return -1;
    py::Ref item = py::Ref::steal(PyIter_Next(it.get()));
    if (!item) return PyErr_Occurred() ? -1 : 0;
    py::Ref key, field;
    if (!unpack_pair(item.get(), key, field)) return -1;

    const TypingBridge* b = typing_bridge();
    if (!b) return -1;
    const int is_str_key = PyObject_IsInstance(key.get(), b->str_key_cls.get());
    if (is_str_key <= 0) return is_str_key;
    py::Ref regex = py::get_attr<"regex">(key.get());
    if (!regex) return -1;
    if (regex.get() != Py_None) return 0;
    py::Ref spec = py::get_attr<"value">(field.get());
    if (!spec) return -1;
    out = std::move(spec);
    return 1;
}

}  // namespace vesk::typing
