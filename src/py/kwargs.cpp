#include "py/kwargs.hpp"

namespace vesk::py {

PyObject* NameTuple::get() {
    return cell_.get_or_init([&]() -> Ref {
        Ref tuple = Ref::steal(PyTuple_New(size()));
        if (!tuple) return {};
        for (Py_ssize_t i = 0; i < size_; ++i) {
            PyObject* s = PyUnicode_InternFromString(names_[i]);
            if (!s) return {};
            PyTuple_SET_ITEM(tuple.get(), i, s);
        }
        return tuple;
    });
}

namespace {

// Finds `key` among the names, starting where the previous keyword matched:
// forwarded keyword sets follow the parameter order, so the first probe
// usually hits. Identity first, string equality as the fallback.
Py_ssize_t find_name(NameTuple& names, PyObject* key, Py_ssize_t start) {
    const Py_ssize_t n = names.size();
    for (Py_ssize_t k = 0; k < n; ++k) {
        const Py_ssize_t i = (start + k) % n;
        if (names.at(i) == key) return i;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        const int eq = PyUnicode_Compare(names.at(i), key);
        if (eq == 0) return i;
    }
    if (PyErr_Occurred()) PyErr_Clear();  // a name is always str; nothing to report
    return -1;
}

}  // namespace

bool parse_args_kw(const Signature& sig, NameTuple& names, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, PyObject** out, ExtraKeywords& extra) {
    if (!names.get()) return false;
    const Py_ssize_t count = names.size();
    if (!detail::bind_positional(sig, args, nargs, out)) return false;

    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        Py_ssize_t next = nargs < count ? nargs : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            const Py_ssize_t idx = find_name(names, key, next);
            if (idx < 0) {
                extra.push_back({key, args[nargs + k]});
                continue;
            }
            if (!detail::bind_keyword(sig, idx, key, args[nargs + k], out)) return false;
            next = idx + 1 < count ? idx + 1 : 0;
        }
    }
    return detail::check_required(sig, out);
}

}  // namespace vesk::py
