#include "topology/key_path_set_format.hpp"

#include "formatting/formatting.hpp"
#include "topology/key_path_set_paths.hpp"

namespace vesk::topology {

namespace {

// kvlist_str(items, label="KeyPathSet", **kwargs) over one item whose key is
// empty (only the value is written) and whose omit-when value is an empty
// list, so a set without members prints as the bare label and brackets.
[[nodiscard]] py::Ref render(PyObject* root, PyObject* kwargs) {
    py::Ref members = collect_paths(root);
    if (!members) return {};
    py::Ref item = py::Ref::steal(Py_BuildValue("(sO[])", "", members.get()));
    if (!item) return {};
    py::Ref items = py::Ref::steal(PyList_New(1));
    if (!items) return {};
    PyList_SET_ITEM(items.get(), 0, item.release());
    py::Ref label = py::Ref::steal(PyUnicode_FromString("KeyPathSet"));
    if (!label || PyDict_SetItemString(kwargs, "label", label.get()) < 0) return {};
    return formatting::call_kvlist_str(items.get(), kwargs);
}

}  // namespace

py::Ref format_key_path_set(PyObject* root, PyObject* const* kwvalues, PyObject* kwnames) {
    py::Ref kwargs = py::Ref::steal(PyDict_New());
    if (!kwargs) return {};
    const Py_ssize_t n = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_EqualToUTF8(name, "label")) {
            PyErr_SetString(PyExc_TypeError,
                            "format() got multiple values for keyword argument 'label'");
            return {};
        }
        if (PyDict_SetItem(kwargs.get(), name, kwvalues[i]) < 0) return {};
    }
    return render(root, kwargs.get());
}

py::Ref format_key_path_set_verbose(PyObject* root) {
    py::Ref kwargs = py::Ref::steal(Py_BuildValue("{sOsO}", "compact", Py_False, "verbose", Py_True));
    if (!kwargs) return {};
    return render(root, kwargs.get());
}

}  // namespace vesk::topology
