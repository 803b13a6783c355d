#include "formatting/text.hpp"

#include "py/lazy.hpp"

#include <cinttypes>
#include <cstdio>

namespace vesk::formatting {

std::optional<std::int64_t> as_i64(PyObject* value) noexcept {
    if (!PyLong_Check(value)) return std::nullopt;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0) return std::nullopt;
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return static_cast<std::int64_t>(v);
}

py::Ref ri_plus_one(PyObject* level) {
    if (auto v = as_i64(level); v && *v < INT64_MAX)
        return py::Ref::steal(PyLong_FromLongLong(*v + 1));
    py::Ref one = py::Ref::steal(PyLong_FromLong(1));
    if (!one) return {};
    return py::Ref::steal(PyNumber_Add(level, one.get()));
}

bool write_indent(py::TextWriter& out, PyObject* level) {
    if (auto v = as_i64(level)) {
        if (*v < 1) return true;
        if (*v <= PY_SSIZE_T_MAX / 2) {
            if (out.spaces(static_cast<Py_ssize_t>(*v) * 2)) return true;
            if (!PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
            PyErr_Clear();
        }
        PyErr_Format(PyExc_MemoryError,
                     "root_indent too large: %lld levels of indentation do not fit in memory",
                     static_cast<long long>(*v));
        return false;
    }
    py::Ref two = py::Ref::steal(PyUnicode_FromString("  "));
    if (!two) return false;
    py::Ref text = py::Ref::steal(PyNumber_Multiply(two.get(), level));
    return text && out.str(text.get());
}

namespace {

int compare_length(Py_ssize_t length, PyObject* limit, int op) {
    py::Ref len = py::Ref::steal(PyLong_FromSsize_t(length));
    if (!len) return -1;
    py::Ref result = py::Ref::steal(PyObject_RichCompare(len.get(), limit, op));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

}  // namespace

int over_max_len(Py_ssize_t length, PyObject* limit) {
    if (auto v = as_i64(limit)) return length > *v ? 1 : 0;
    return compare_length(length, limit, Py_GT);
}

int within_limit(Py_ssize_t length, PyObject* limit) {
    if (auto v = as_i64(limit)) return length <= *v ? 1 : 0;
    return compare_length(length, limit, Py_LE);
}

py::Ref truncated_repr(PyObject* value, PyObject* limit, PyObject* ellipsis) {
    py::Ref head;
    if (auto v = as_i64(limit); v && *v >= PY_SSIZE_T_MIN && *v <= PY_SSIZE_T_MAX) {
        head = py::Ref::steal(PySequence_GetSlice(value, 0, static_cast<Py_ssize_t>(*v)));
    } else {
        py::Ref zero = py::Ref::steal(PyLong_FromLong(0));
        if (!zero) return {};
        py::Ref slice = py::Ref::steal(PySlice_New(zero.get(), limit, nullptr));
        if (!slice) return {};
        head = py::Ref::steal(PyObject_GetItem(value, slice.get()));
    }
    if (!head) return {};
    py::Ref joined = py::Ref::steal(PyNumber_Add(head.get(), ellipsis));
    if (!joined) return {};
    return py::Ref::steal(PyObject_Repr(joined.get()));
}

py::Ref md_quote(py::Ref text, bool markdown) {
    if (!markdown || !text) return text;
    PyObject* s = text.get();
    const bool multiline = PyUnicode_FindChar(s, '\n', 0, PyUnicode_GET_LENGTH(s), 1) >= 0;
    py::TextWriter out(PyUnicode_GET_LENGTH(s) + 8);
    if (!out.ok()) return {};
    const char* fence = multiline ? "```\n" : "`";
    const char* close = multiline ? "\n```" : "`";
    if (!out.ascii(fence) || !out.text(s) || !out.ascii(close)) return {};
    return out.finish();
}

py::Ref class_name(PyObject* value) {
    py::Ref cls = py::get_attr<"__class__">(value);
    if (!cls) return {};
    py::Ref name = py::get_attr<"__name__">(cls.get());
    if (!name) return {};
    return py::Ref::steal(PyObject_Str(name.get()));
}

py::Ref format_method(PyObject* method) {
    py::Ref qualname = py::get_attr<"__qualname__">(PyMethod_GET_FUNCTION(method));
    if (!qualname) return {};
    return py::Ref::steal(PyUnicode_FromFormat("<bound method %S>", qualname.get()));
}

py::Ref recursion_marker(PyObject* value) {
    py::Ref name = class_name(value);
    if (!name) return {};
    char address[2 * sizeof(std::uintptr_t) + 1];
    std::snprintf(address, sizeof address, "%" PRIxPTR, reinterpret_cast<std::uintptr_t>(value));
    return py::Ref::steal(PyUnicode_FromFormat("<recursive %U at 0x%s>", name.get(), address));
}

int truth_if_given(PyObject* arg) {
    if (!arg) return 0;
    return PyObject_IsTrue(arg);
}

}  // namespace vesk::formatting
