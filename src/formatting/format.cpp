// `format`: custom format first, then plain scalars by exact type without
// any keyword set or bridge call, then everything else under the recursion
// memo through the hierarchical rules.
#include "formatting/format.hpp"

#include "formatting/hierarchy.hpp"
#include "formatting/text.hpp"

namespace vesk::formatting {

namespace {

// str or bytes, truncated to `limit` with the ellipsis inside the quotes.
py::Ref format_sized(PyObject* value, Py_ssize_t length, PyObject* limit, bool bytes) {
    if (limit) {
        const int over = over_max_len(length, limit);
        if (over < 0) return {};
        if (over) {
            py::Ref ellipsis = py::Ref::steal(bytes ? PyBytes_FromStringAndSize("...", 3)
                                                    : PyUnicode_FromStringAndSize("...", 3));
            if (!ellipsis) return {};
            return truncated_repr(value, limit, ellipsis.get());
        }
    }
    return py::Ref::steal(PyObject_Repr(value));
}

// Everything that is not a plain scalar: guarded against values that contain
// themselves (memo) and against nesting too deep for the native stack. The
// recursion marker is returned as it is: it is never quoted.
py::Ref format_guarded(const FormatOptions& opts, bool markdown) {
    py::Ref memo;
    if (opts.memo) {
        if (!PySet_Check(opts.memo)) {
            PyErr_Format(PyExc_TypeError, "memo must be a set, not %.200s",
                         Py_TYPE(opts.memo)->tp_name);
            return {};
        }
        memo = py::Ref::borrow(opts.memo);
    } else {
        memo = py::Ref::steal(PySet_New(nullptr));
        if (!memo) return {};
    }
    py::Ref key = py::Ref::steal(PyLong_FromVoidPtr(opts.value));
    if (!key) return {};
    const int seen = PySet_Contains(memo.get(), key.get());
    if (seen < 0) return {};
    if (seen) return recursion_marker(opts.value);

    if (Py_EnterRecursiveCall(" while formatting a nested value")) return {};
    py::Ref text;
    if (PySet_Add(memo.get(), key.get()) == 0) {
        text = format_hierarchy(opts, memo.get());
        // The key leaves the memo whatever happened; a failure to discard it
        // must not mask the outcome.
        PyObject* pending = PyErr_GetRaisedException();
        if (PySet_Discard(memo.get(), key.get()) < 0) PyErr_Clear();
        PyErr_SetRaisedException(pending);
    }
    Py_LeaveRecursiveCall();
    return md_quote(std::move(text), markdown);
}

py::Ref format_value(const FormatOptions& opts) {
    const int markdown = truth_if_given(opts.markdown);
    if (markdown < 0) return {};
    if (opts.custom_format) {
        bool failed = false;
        py::Ref text = call_custom_format(opts, failed);
        if (failed) return {};
        if (text) return md_quote(std::move(text), markdown);
    }
    bool handled = false;
    py::Ref text = format_scalar(opts.value, opts.max_str_len, opts.max_bytes_len, handled);
    if (!handled) return format_guarded(opts, markdown);
    return md_quote(std::move(text), markdown);
}

}  // namespace

py::Ref format_scalar(PyObject* value, PyObject* max_str_len, PyObject* max_bytes_len,
                      bool& handled) {
    PyTypeObject* type = Py_TYPE(value);
    handled = true;
    if (type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type)
        return py::Ref::steal(PyObject_Repr(value));
    if (value == Py_None) return py::Ref::steal(PyUnicode_FromStringAndSize("None", 4));
    if (type == &PyUnicode_Type)
        return format_sized(value, PyUnicode_GET_LENGTH(value), max_str_len, false);
    if (type == &PyBytes_Type)
        return format_sized(value, PyBytes_GET_SIZE(value), max_bytes_len, true);
    if (type == &PyMethod_Type) return format_method(value);
    handled = false;
    return {};
}

PyObject* format_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    FormatOptions opts;
    if (!opts.parse(args, nargs, kwnames)) return nullptr;
    return format_value(opts).release();
}

}  // namespace vesk::formatting
