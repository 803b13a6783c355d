#include "py/args.hpp"

#include <climits>

namespace vesk::py {

namespace {

Py_ssize_t find_name(const Signature& sig, PyObject* key) {
    Py_ssize_t i = 0;
    for (const char* name : sig.names) {
        if (PyUnicode_EqualToUTF8(key, name)) return i;
        ++i;
    }
    return -1;
}

}  // namespace

namespace detail {

bool bind_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** out) {
    if (nargs > sig.positional) {
        if (sig.positional == 0)
            PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", sig.func);
        else
            PyErr_Format(PyExc_TypeError, "%s() takes at most %zd positional argument%s (%zd given)",
                         sig.func, sig.positional, sig.positional == 1 ? "" : "s", nargs);
        return false;
    }
    const auto count = static_cast<Py_ssize_t>(sig.names.size());
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    return true;
}

bool bind_keyword(const Signature& sig, Py_ssize_t index, PyObject* name, PyObject* value,
                  PyObject** out) {
    if (out[index]) {
        PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%U') and position (%zd)",
                     sig.func, name, index + 1);
        return false;
    }
    out[index] = value;
    return true;
}

bool check_required(const Signature& sig, PyObject* const* out) {
    Py_ssize_t i = 0;
    for (const char* name : sig.names) {
        if (i >= sig.required) break;
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)",
                         sig.func, name, i + 1);
            return false;
        }
        ++i;
    }
    return true;
}

}  // namespace detail

bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, PyObject** out) {
    if (!detail::bind_positional(sig, args, nargs, out)) return false;
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            const Py_ssize_t idx = find_name(sig, key);
            if (idx < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             sig.func, key);
                return false;
            }
            if (!detail::bind_keyword(sig, idx, key, args[nargs + k], out)) return false;
        }
    }
    return detail::check_required(sig, out);
}

void raise_arg_type(const char* name, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %s", name, expected,
                 Py_TYPE(got)->tp_name);
}

bool arg_bool(const char* name, PyObject* value, bool& out) {
    if (value == Py_True || value == Py_False) {
        out = value == Py_True;
        return true;
    }
    raise_arg_type(name, "True or False", value);
    return false;
}

bool arg_u8(const char* name, PyObject* value, std::uint8_t& out) {
    if (!PyLong_Check(value)) {
        raise_arg_type(name, "int", value);
        return false;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < 0 || v > 255) {
        // The message never renders the value itself: repr() of an int
        // subclass is user code, and a huge int refuses str() conversion.
        if (overflow != 0)
            PyErr_Format(PyExc_OverflowError,
                         "argument '%s': int out of range for an unsigned 8-bit integer", name);
        else
            PyErr_Format(PyExc_OverflowError,
                         "argument '%s': %lld is out of range for an unsigned 8-bit integer", name, v);
        return false;
    }
    out = static_cast<std::uint8_t>(v);
    return true;
}

bool arg_i64(const char* name, PyObject* value, std::int64_t& out) {
    if (!PyLong_Check(value)) {
        raise_arg_type(name, "int", value);
        return false;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0) {
        PyErr_Format(PyExc_OverflowError, "argument '%s': int does not fit a signed 64-bit integer",
                     name);
        return false;
    }
    out = static_cast<std::int64_t>(v);
    return true;
}

bool arg_str(const char* name, PyObject* value) {
    if (PyUnicode_Check(value)) return true;
    raise_arg_type(name, "str", value);
    return false;
}

}  // namespace vesk::py
