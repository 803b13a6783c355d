#include "typing/value_spec/json_read.hpp"

#include "typing/bridge.hpp"

namespace vesk::typing {

namespace {

// The stored value of `key`, as is: 1 found, 0 absent, -1 on error.
int lookup(PyObject* json_value, const char* key, py::Ref& out) {
    PyObject* found = nullptr;
    const int r = PyDict_GetItemStringRef(json_value, key, &found);
    out = py::Ref::steal(found);
    return r;
}

// A flag stored as is; absent leaves `out` untouched.
bool flag(PyObject* json_value, const char* key, bool& out) {
    py::Ref stored;
    const int r = lookup(json_value, key, stored);
    if (r <= 0) return r == 0;
    return py::arg_bool(key, stored.get(), out);
}

}  // namespace

bool json_check_dict(PyObject* json_value) {
    if (PyDict_Check(json_value)) return true;
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyDict'",
                 Py_TYPE(json_value)->tp_name);
    return false;
}

py::Ref json_kwargs(const py::ExtraKeywords& extra) {
    py::Ref kwargs = py::Ref::steal(PyDict_New());
    if (!kwargs) return {};
    for (const py::ExtraKeyword& kw : extra)
        if (PyDict_SetItem(kwargs.get(), kw.name, kw.value) < 0) return {};
    return kwargs;
}

int json_field(PyObject* json_value, const char* key, PyObject* kwargs, py::Ref& out) {
    py::Ref stored;
    const int r = lookup(json_value, key, stored);
    if (r <= 0) return r;
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return -1;
    py::Ref args = py::Ref::steal(PyTuple_Pack(1, stored.get()));
    if (!args) return -1;
    out = py::Ref::steal(PyObject_Call(bridge->from_json.get(), args.get(), kwargs));
    return out ? 1 : -1;
}

bool json_common(PyObject* json_value, PyObject* kwargs, SpecCommon& out) {
    py::Ref given;
    const int r = json_field(json_value, "default", kwargs, given);
    if (r < 0) return false;
    if (r == 0) {
        const TypingBridge* bridge = typing_bridge();
        if (!bridge) return false;
        given = bridge->missing_value;
    }
    out.default_value = std::move(given);
    out.default_factory.reset();
    out.is_noneable = false;
    out.frozen = false;
    if (!flag(json_value, "is_noneable", out.is_noneable) ||
        !flag(json_value, "frozen", out.frozen))
        return false;
    out.strict = Tri::Unset;
    py::Ref strict;
    const int s = lookup(json_value, "strict", strict);
    if (s < 0) return false;
    if (s > 0) {
        bool b = false;
        if (!py::arg_bool("strict", strict.get(), b)) return false;
        out.strict = tri_from_bool(b);
    }
    return true;
}

bool json_required(PyObject* json_value, const char* key, PyObject* kwargs, const char* message,
                   py::Ref& out) {
    const int r = json_field(json_value, key, kwargs, out);
    if (r < 0) return false;
    if (r == 0) {
        PyErr_SetString(PyExc_ValueError, message);
        return false;
    }
    return true;
}

}  // namespace vesk::typing
