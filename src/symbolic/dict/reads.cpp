// SymDict reads: item reads, `get` and attribute reads resolve an
// inferential stored value through its `infer()`; the raw accessors used by
// symbolic walks return what is stored.
#include "symbolic/dict/dict_ops.hpp"

#include "py/args.hpp"
#include "symbolic/calls.hpp"
#include "symbolic/errors.hpp"
#include "symbolic/markers.hpp"

namespace vesk::symbolic::dict {

py::Params<2> kGetParams{"get", {"key", "default=None"}, 2, 1};

namespace {

enum class Lookup : unsigned char { Error, Absent, Found };

Lookup lookup(PyObject* self, PyObject* key, py::Ref& out) {
    PyObject* found = nullptr;
    const int r = PyDict_GetItemRef(self, key, &found);
    out = py::Ref::steal(found);
    return r < 0 ? Lookup::Error : r == 0 ? Lookup::Absent : Lookup::Found;
}

// The stored value, or what its `infer()` answers when it is inferential.
// An AttributeError of `infer` is left set for the caller to translate.
py::Ref resolve(py::Ref stored) {
    const int inferential = is_inferential(stored.get());
    if (inferential <= 0) return inferential < 0 ? py::Ref() : stored;
    return call_method<"infer">(stored.get());
}

bool attribute_error_pending() noexcept {
    return PyErr_ExceptionMatches(PyExc_AttributeError) != 0;
}

}  // namespace

PyObject* subscript(PyObject* self, PyObject* key) {
    py::Ref stored;
    switch (lookup(self, key, stored)) {
        case Lookup::Error: return nullptr;
        case Lookup::Absent: raise_with_arg(PyExc_KeyError, key); return nullptr;
        case Lookup::Found: break;
    }
    py::Ref value = resolve(std::move(stored));
    if (!value && attribute_error_pending()) {
        PyErr_Clear();
        raise_with_arg(PyExc_KeyError, key);
    }
    return value.release();
}

PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kGetParams, args, nargs, kwnames, a)) return nullptr;
    PyObject* fallback = a.given(1) ? a[1] : Py_None;
    py::Ref stored;
    switch (lookup(self, a[0], stored)) {
        case Lookup::Error: return nullptr;
        case Lookup::Absent: return py::new_ref(fallback);
        case Lookup::Found: break;
    }
    py::Ref value = resolve(std::move(stored));
    if (!value && attribute_error_pending()) {
        PyErr_Clear();
        return py::new_ref(fallback);
    }
    return value.release();
}

PyObject* getattro(PyObject* self, PyObject* name) {
    if (PyObject* found = PyObject_GenericGetAttr(self, name)) return found;
    if (!attribute_error_pending()) return nullptr;
    PyErr_Clear();
    if (!py::arg_str("name", name)) return nullptr;
    py::Ref stored;
    switch (lookup(self, name, stored)) {
        case Lookup::Error: return nullptr;
        case Lookup::Found: return resolve(std::move(stored)).release();
        case Lookup::Absent: break;
    }
    PyErr_Format(PyExc_AttributeError, "Attribute '%U' does not exist in %R.", name,
                 reinterpret_cast<PyObject*>(Py_TYPE(self)));
    return nullptr;
}

PyObject* sym_hasattr(PyObject* self, PyObject* key) {
    const int present = PyDict_Contains(self, key);
    return present < 0 ? nullptr : py::boolean(present);
}

PyObject* sym_getattr(PyObject* self, PyObject* key) {
    py::Ref stored;
    switch (lookup(self, key, stored)) {
        case Lookup::Error: return nullptr;
        case Lookup::Absent: raise_with_arg(PyExc_KeyError, key); return nullptr;
        case Lookup::Found: break;
    }
    return stored.release();
}

}  // namespace vesk::symbolic::dict
