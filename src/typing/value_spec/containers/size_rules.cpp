#include "typing/value_spec/containers/size_rules.hpp"

#include "py/args.hpp"
#include "py/ref.hpp"

#include <string>

namespace vesk::typing::containers {

namespace {

std::string decimal_or_none(std::optional<std::int64_t> value) {
    return value ? std::to_string(*value) : std::string("None");
}

}  // namespace

bool read_size_arg(const char* name, PyObject* value, std::optional<std::int64_t>& out) {
    out.reset();
    if (!value || value == Py_None) return true;
    std::int64_t n = 0;
    if (!py::arg_i64(name, value, n)) return false;
    out = n;
    return true;
}

bool fold_size_aliases(const char* label, SizeArgs& args) {
    if (args.min_length) {
        if (args.min_size) {
            PyErr_Format(PyExc_ValueError,
                         "%s: `min_size` and `min_length` are mutually exclusive. Use one "
                         "spelling.",
                         label);
            return false;
        }
        args.min_size = args.min_length;
    }
    if (args.max_length) {
        if (args.max_size) {
            PyErr_Format(PyExc_ValueError,
                         "%s: `max_size` and `max_length` are mutually exclusive. Use one "
                         "spelling.",
                         label);
            return false;
        }
        args.max_size = args.max_length;
    }
    return true;
}

bool resolve_sizes(const SizeArgs& args, Sizes& out) {
    std::optional<std::int64_t> given_min;
    if (args.size) {
        if (args.min_size || args.max_size) {
            PyErr_Format(PyExc_ValueError,
                         "Either \"size\" or \"min_size\"/\"max_size\" pair can be specified. "
                         "Encountered: size=%s, min_size=%s, max_size=%s.",
                         decimal_or_none(args.size).c_str(),
                         decimal_or_none(args.min_size).c_str(),
                         decimal_or_none(args.max_size).c_str());
            return false;
        }
        given_min = args.size;
        out.max = args.size;
    } else {
        given_min = args.min_size;
        out.max = args.max_size;
    }
    out.min = given_min.value_or(0);
    if (given_min && *given_min < 0) {
        PyErr_Format(PyExc_ValueError,
                     "\"min_size\" of List must be no less than 0. Encountered: %lld.",
                     static_cast<long long>(*given_min));
        return false;
    }
    if (out.max && *out.max < out.min) {
        PyErr_Format(PyExc_ValueError,
                     "\"max_size\" of List must be no less than \"min_size\". Encountered: "
                     "min_size=%lld, max_size=%lld",
                     static_cast<long long>(out.min), static_cast<long long>(*out.max));
        return false;
    }
    return true;
}

PyObject* size_object(std::optional<std::int64_t> value) {
    if (!value) return py::new_ref(Py_None);
    return PyLong_FromLongLong(*value);
}

}  // namespace vesk::typing::containers
