#include "py/args.hpp"

#include "py/critical_section.hpp"
#include "py/mutex.hpp"

#include <cstring>
#include <deque>
#include <string>
#include <string_view>

namespace vesk::py {

namespace detail {

PyObject* interned_names(const ParamsView& params) {
    return params.interned->get_or_init([&]() -> Ref {
        Ref tuple = Ref::steal(PyTuple_New(params.count));
        if (!tuple) return {};
        for (Py_ssize_t i = 0; i < params.count; ++i) {
            PyObject* s = PyUnicode_FromStringAndSize(
                params.names[i], static_cast<Py_ssize_t>(params.name_lengths[i]));
            if (!s) return {};
            PyUnicode_InternInPlace(&s);
            PyTuple_SET_ITEM(tuple.get(), i, s);
        }
        return tuple;
    });
}

namespace {

// Binds one call's arguments to the parameters; every message of the parser
// is here.
class Binder {
public:
    Binder(const ParamsView& params, PyObject** out, ExtraKeywords& extra) noexcept
        : p_(params), out_(out), extra_(extra) {}

    [[nodiscard]] bool positional(PyObject* const* args, Py_ssize_t nargs) {
        if (nargs > p_.positional) {
            if (p_.positional == 0)
                PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", p_.func);
            else
                PyErr_Format(PyExc_TypeError,
                             "%s() takes at most %zd positional argument%s (%zd given)", p_.func,
                             p_.positional, p_.positional == 1 ? "" : "s", nargs);
            return false;
        }
        for (Py_ssize_t i = 0; i < p_.count; ++i) out_[i] = i < nargs ? args[i] : nullptr;
        next_ = nargs < p_.count ? nargs : 0;
        return true;
    }

    // What became of a keyword.
    enum Outcome : int { kFailed = -1, kIgnored = 0, kBound = 1, kCollected = 2 };

    // kFailed with TypeError set.
    [[nodiscard]] Outcome keyword(PyObject* name, PyObject* value) {
        if (!PyUnicode_Check(name)) {
            // Only a dict built by native code can get here with one.
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", p_.func);
            return kFailed;
        }
        const Py_ssize_t index = find(name);
        if (index == kError) return kFailed;
        if (index == kNotFound) {
            switch (p_.keywords) {
                case Keywords::Reject:
                    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                                 p_.func, name);
                    return kFailed;
                case Keywords::Ignore: return kIgnored;
                case Keywords::Collect: extra_.push_back({name, value}); return kCollected;
            }
        }
        if (out_[index]) {
            PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%U') and position (%zd)",
                         p_.func, name, index + 1);
            return kFailed;
        }
        out_[index] = value;
        next_ = index + 1 < p_.count ? index + 1 : 0;
        return kBound;
    }

    [[nodiscard]] bool finish() const {
        for (Py_ssize_t i = 0; i < p_.required; ++i) {
            if (!out_[i]) {
                PyErr_Format(PyExc_TypeError, "%s() missing required argument '%.*s' (pos %zd)",
                             p_.func, static_cast<int>(p_.name_lengths[i]), p_.names[i], i + 1);
                return false;
            }
        }
        return true;
    }

private:
    static constexpr Py_ssize_t kNotFound = -1;
    static constexpr Py_ssize_t kError = -2;

    // Identity first, starting where the previous keyword matched: forwarded
    // keyword sets follow the parameter order, so the first probe usually
    // hits. String equality is the fallback.
    [[nodiscard]] Py_ssize_t find(PyObject* key) {
        if (p_.count == 0) return kNotFound;
        if (!names_) {
            names_ = interned_names(p_);
            if (!names_) return kError;
        }
        for (Py_ssize_t k = 0; k < p_.count; ++k) {
            const Py_ssize_t i = (next_ + k) % p_.count;
            if (PyTuple_GET_ITEM(names_, i) == key) return i;
        }
        for (Py_ssize_t i = 0; i < p_.count; ++i)
            if (PyUnicode_Compare(PyTuple_GET_ITEM(names_, i), key) == 0) return i;
        PyErr_Clear();  // both sides are always str: nothing to report
        return kNotFound;
    }

    const ParamsView& p_;
    PyObject** out_;
    ExtraKeywords& extra_;
    PyObject* names_ = nullptr;
    Py_ssize_t next_ = 0;
};

// Keeps a text for the rest of the process (docstrings the interpreter
// reads until it exits), one allocation each.
const char* keep_text(std::string text) {
    static SpinMutex mutex;
    static auto* kept = new std::deque<std::string>();  // never freed
    MutexLock lock(mutex);
    kept->push_back(std::move(text));
    return kept->back().c_str();
}

// "name(receiver, items...)\n--\n\n{summary}", kept for the process;
// `items` adds the parameters through the writer it is handed. A module
// function's receiver is followed by "/", as the interpreter writes its own,
// unless the parameters end with one (`positional_only`), which covers it.
template <class Items>
const char* compose_doc(const char* name, Receiver receiver, const char* summary,
                        bool positional_only, Items&& items) {
    std::string text = name;
    text += '(';
    bool first = true;
    auto item = [&](std::string_view part) {
        if (!first) text += ", ";
        first = false;
        text += part;
    };
    switch (receiver) {
        case Receiver::Class: break;
        case Receiver::Static: break;
        case Receiver::Self: item("$self"); break;
        case Receiver::Type: item("$type"); break;
        case Receiver::Module:
            item("$module");
            if (!positional_only) item("/");
            break;
    }
    items(item);
    text += ")\n--\n\n";
    text += summary;
    return keep_text(std::move(text));
}

}  // namespace

const char* signature_doc(const char* name, const ParamsView& params, Receiver receiver,
                          bool positional_only, const char* summary) {
    return compose_doc(name, receiver, summary, positional_only, [&](auto& item) {
        for (Py_ssize_t i = 0; i < params.count; ++i) {
            if (i == params.positional) item("*");
            std::string part = params.names[i];
            if (i >= params.required && part.size() == params.name_lengths[i]) part += "=None";
            item(part);
        }
        if (positional_only) item("/");
        if (params.keywords != Keywords::Reject) item("**kwargs");
    });
}

bool parse_fast(const ParamsView& params, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, PyObject** out, ExtraKeywords& extra) {
    Binder bind(params, out, extra);
    if (!bind.positional(args, nargs)) return false;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (bind.keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) == Binder::kFailed)
            return false;
    return bind.finish();
}

namespace {

// Holds `p`: in place while there is room, else in the vector. An
// immortal object needs no hold.
void hold(Held& held, PyObject* p) {
    if (_Py_IsImmortal(p)) return;
    if (held.count < held.capacity) held.inline_refs[held.count++] = Ref::borrow(p).release();
    else held.more.push_back(Ref::borrow(p));
}

}  // namespace

bool parse_tuple(const ParamsView& params, PyObject* args, PyObject* kwds, PyObject** out,
                 Held held, ExtraKeywords& extra) {
    Binder bind(params, out, extra);
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!bind.positional(nargs ? &PyTuple_GET_ITEM(args, 0) : nullptr, nargs)) return false;
    if (kwds && PyUnstable_Object_IsUniquelyReferenced(kwds)) {
        // The dict the interpreter made for this call, which nothing else
        // holds: no other thread can change it, and matching runs no Python
        // code, so it is matched in place, without its lock or a snapshot.
        // What the call takes from it is held as it is matched (a value, and
        // an extra keyword's name too): the callee runs Python code, which
        // can still reach the dict (the collector lists its referrers) and
        // clear it.
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwds, &pos, &key, &value)) {
            switch (bind.keyword(key, value)) {
                case Binder::kFailed: return false;
                case Binder::kIgnored: break;
                case Binder::kCollected: hold(held, key); [[fallthrough]];
                case Binder::kBound: hold(held, value); break;
            }
        }
        return bind.finish();
    } else if (kwds) {
        // Snapshot the keywords under the dict's lock; the references kept
        // hold names and values alive while they are matched and used.
        std::vector<Ref>& snapshot = held.more;
        {
            CriticalSection guard(kwds);
            snapshot.reserve(2 * static_cast<std::size_t>(PyDict_GET_SIZE(kwds)));
            Py_ssize_t pos = 0;
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            while (PyDict_Next(kwds, &pos, &key, &value)) {
                snapshot.push_back(Ref::borrow(key));
                snapshot.push_back(Ref::borrow(value));
            }
        }
        for (std::size_t i = 0; i < snapshot.size(); i += 2)
            if (bind.keyword(snapshot[i].get(), snapshot[i + 1].get()) == Binder::kFailed)
                return false;
    }
    return bind.finish();
}

}  // namespace detail

const char* signature_doc(const char* name, const char* params, Receiver receiver,
                          const char* summary) {
    return detail::compose_doc(name, receiver, summary, false, [&](auto& item) {
        if (*params != '\0') item(params);
    });
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

bool is_bool_scalar(PyObject* value) noexcept {
    if (PyBool_Check(value)) return true;
    // The numeric library's scalar types are static types; a class made in
    // Python may carry the same name but has a `__bool__` of its own, which
    // must not be taken for one.
    PyTypeObject* type = Py_TYPE(value);
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return false;
    return std::strcmp(type->tp_name, "numpy.bool") == 0 ||
           std::strcmp(type->tp_name, "numpy.bool_") == 0;
}

bool arg_bool_scalar(const char* name, PyObject* value, bool& out, const char* expected) {
    if (value == Py_True || value == Py_False) {
        out = value == Py_True;
        return true;
    }
    if (!is_bool_scalar(value)) {
        raise_arg_type(name, expected, value);
        return false;
    }
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
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

bool arg_u64(const char* name, PyObject* value, std::uint64_t& out) {
    if (!PyLong_Check(value)) {
        raise_arg_type(name, "int", value);
        return false;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(value);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        int sign = 0;
        if (PyLong_GetSign(value, &sign) < 0) return false;
        PyErr_Format(PyExc_OverflowError,
                     sign < 0 ? "argument '%s': can't convert negative int to unsigned"
                              : "argument '%s': int does not fit an unsigned 64-bit integer",
                     name);
        return false;
    }
    out = static_cast<std::uint64_t>(v);
    return true;
}

bool arg_str(const char* name, PyObject* value) {
    if (PyUnicode_Check(value)) return true;
    raise_arg_type(name, "str", value);
    return false;
}

void raise_not_instance(PyObject* value, const char* expected) {
    if (value == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        return;
    }
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(value)));
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
}

bool expect_instance(PyObject* value, PyTypeObject* type) {
    if (PyObject_TypeCheck(value, type)) return true;
    Ref expected = Ref::steal(PyType_GetName(type));
    const char* text = expected ? PyUnicode_AsUTF8(expected.get()) : nullptr;
    if (text) raise_not_instance(value, text);
    return false;
}

}  // namespace vesk::py
