#include "formatting/cache.hpp"

#include "formatting/formatting.hpp"
#include "py/errors.hpp"

namespace vesk::formatting {

namespace {

py::Ref require_str(py::Ref result, const char* func) {
    if (result && !PyUnicode_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "%s() must return a str, not %.200s", func,
                     Py_TYPE(result.get())->tp_name);
        return {};
    }
    return result;
}

}  // namespace

int init_format_fn(PyObject* module) {
    py::Ref format = py::Ref::steal(PyObject_GetAttrString(module, "format"));
    if (!format) return -1;
    FORMAT_FN.set(std::move(format));
    py::Ref kvlist = py::Ref::steal(PyObject_GetAttrString(module, "kvlist_str"));
    if (!kvlist) return -1;
    KVLIST_STR_FN.set(std::move(kvlist));
    return 0;
}

PyObject* format_fn() {
    PyObject* fn = FORMAT_FN.get();
    if (!fn) py::raise_internal("format fn not initialized");
    return fn;
}

py::Ref call_kvlist_str(PyObject* items, PyObject* kwargs) {
    PyObject* fn = KVLIST_STR_FN.get();
    if (!fn) {
        py::raise_internal("kvlist_str fn not initialized");
        return {};
    }
    return require_str(py::Ref::steal(PyObject_VectorcallDict(fn, &items, 1, kwargs)),
                       "kvlist_str");
}

py::Ref call_format(PyObject* value, PyObject* kwargs) {
    PyObject* fn = format_fn();
    if (!fn) return {};
    return require_str(py::Ref::steal(PyObject_VectorcallDict(fn, &value, 1, kwargs)), "format");
}

}  // namespace vesk::formatting
