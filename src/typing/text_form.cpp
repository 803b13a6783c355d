#include "typing/text_form.hpp"

#include "formatting/formatting.hpp"
#include "py/lazy.hpp"

namespace vesk::typing {

bool text_options(PyObject* compact, PyObject* verbose, PyObject* root_indent,
                  TextOptions& out) {
    return py::opt_bool("compact", compact, false, out.compact) &&
           py::opt_bool("verbose", verbose, true, out.verbose) &&
           (!root_indent || py::arg_i64("root_indent", root_indent, out.root_indent));
}

bool add_text_item(PyObject* items, const char* name, PyObject* value, PyObject* omit_when) {
    py::Ref item = py::Ref::steal(Py_BuildValue("(sOO)", name, value, omit_when));
    return item && PyList_Append(items, item.get()) == 0;
}

py::Ref kvlist_text(PyObject* items, const py::ExtraKeywords& extra, PyObject* label,
                    PyObject* bracket_type, const TextOptions& options) {
    py::Ref kwargs = py::Ref::steal(PyDict_New());
    if (!kwargs) return {};
    for (const py::ExtraKeyword& kw : extra)
        if (PyDict_SetItem(kwargs.get(), kw.name, kw.value) < 0) return {};
    py::Ref indent = py::Ref::steal(PyLong_FromLongLong(options.root_indent));
    if (!indent || PyDict_SetItemString(kwargs.get(), "label", label) < 0 ||
        (bracket_type && PyDict_SetItemString(kwargs.get(), "bracket_type", bracket_type) < 0) ||
        PyDict_SetItemString(kwargs.get(), "compact", options.compact ? Py_True : Py_False) < 0 ||
        PyDict_SetItemString(kwargs.get(), "verbose", options.verbose ? Py_True : Py_False) < 0 ||
        PyDict_SetItemString(kwargs.get(), "root_indent", indent.get()) < 0)
        return {};
    return formatting::call_kvlist_str(items, kwargs.get());
}

bool display_options(bool compact, py::ExtraKeywords& extra, TextOptions& options) {
    PyObject* name;
    PyObject* threshold;
    if (!py::intern<"list_wrap_threshold">(name) || !py::constant_int<80>(threshold)) return false;
    extra.push_back({name, threshold});
    options = TextOptions{};
    options.compact = compact;
    return true;
}

}  // namespace vesk::typing
