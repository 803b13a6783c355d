#include "typing/json_form.hpp"

#include "typing/bridge.hpp"

namespace vesk::typing {

py::Ref json_kwargs(const py::ExtraKeywords& extra) {
    py::Ref kwargs = py::Ref::steal(PyDict_New());
    if (!kwargs) return {};
    for (const py::ExtraKeyword& kw : extra)
        if (PyDict_SetItem(kwargs.get(), kw.name, kw.value) < 0) return {};
    return kwargs;
}

int json_field(PyObject* json_value, PyObject* key, PyObject* kwargs, py::Ref& out) {
    if (!key) return -1;
    PyObject* found = nullptr;
    const int r = PyDict_GetItemRef(json_value, key, &found);
    py::Ref stored = py::Ref::steal(found);
    if (r <= 0) return r;
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return -1;
    PyObject* args[] = {stored.get()};
    out = py::Ref::steal(PyObject_VectorcallDict(bridge->from_json.get(), args, 1, kwargs));
    return out ? 1 : -1;
}

int json_field(PyObject* json_value, const char* key, PyObject* kwargs, py::Ref& out) {
    py::Ref name = py::Ref::steal(PyUnicode_FromString(key));
    return json_field(json_value, name.get(), kwargs, out);
}

bool json_check_dict(PyObject* json_value) {
    if (PyDict_Check(json_value)) return true;
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyDict'",
                 Py_TYPE(json_value)->tp_name);
    return false;
}

int json_bool(PyObject* json_value, PyObject* key, bool& out) {
    if (!key) return -1;
    PyObject* found = nullptr;
    const int r = PyDict_GetItemRef(json_value, key, &found);
    py::Ref stored = py::Ref::steal(found);
    if (r <= 0) return r;
    if (stored.get() == Py_True || stored.get() == Py_False) {
        out = stored.get() == Py_True;
        return 1;
    }
    const char* name = PyUnicode_AsUTF8(key);
    if (name) py::raise_arg_type(name, "True or False", stored.get());
    return -1;
}

bool JsonWriter::start(const py::ExtraKeywords& extra, const char* serialization_key) {
    kwargs_ = json_kwargs(extra);
    out_ = py::Ref::steal(PyDict_New());
    py::Ref type_key = py::Ref::steal(PyUnicode_FromString(serialization_key));
    return kwargs_ && out_ && type_key && set_raw("_type", type_key.get());
}

bool JsonWriter::set(const char* name, PyObject* value) {
    py::Ref json = call_to_json(value, kwargs_.get());
    return json && set_raw(name, json.get());
}

bool JsonWriter::set_raw(const char* name, PyObject* value) {
    return PyDict_SetItemString(out_.get(), name, value) == 0;
}

bool JsonNesting::enter(const char* what) noexcept {
    if (depth_ >= kLimit) {
        PyErr_Format(PyExc_ValueError,
                     "%s json is nested too deeply: more than %d fields and schemas inside each "
                     "other.",
                     what, kLimit);
        return false;
    }
    ++depth_;
    entered_ = true;
    return true;
}

}  // namespace vesk::typing
