#include "typing/value_spec/kinds/containers.hpp"

#include "py/args.hpp"
#include "py/named.hpp"
#include "topology/key_path.hpp"
#include "typing/value_spec/engine/by_name.hpp"
#include "typing/value_spec/kinds/element_guard.hpp"

#include <string>

namespace vesk::typing {

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

bool read_json_sizes(const JsonRow& row, SizeArgs& out) {
    return row.size<"min_size">(out.min_size) && row.size<"max_size">(out.max_size) &&
           row.size<"min_length">(out.min_length) && row.size<"max_length">(out.max_length);
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

py::Ref element_path(const ApplyOptions& options, Py_ssize_t index) {
    py::Ref key = py::Ref::steal(PyLong_FromSsize_t(index));
    if (!key) return {};
    return topology::child_key_path(key.get(), options.root_path);
}

py::Ref apply_indexed_element(ElementGuard& guard, PyObject* callee, PyObject* element,
                              const ApplyOptions& options, Py_ssize_t index,
                              bool with_transform) {
    if (guard.held()) {
        const bool quiet = guard.quiet_for(element);
        py::Ref result = apply_held_element_lazily(
            guard, element, options, [&] { return element_path(options, index); });
        // User code may have run: the next element reads the spec afresh.
        if (result && !quiet && !guard.refresh()) return {};
        return result;
    }
    py::Ref path = element_path(options, index);
    if (!path) return {};
    return apply_element(callee, element, options, path.get(), with_transform);
}

py::Ref apply_element(PyObject* callee, PyObject* element, const ApplyOptions& options,
                      PyObject* path, bool with_transform) {
    PyObject* partial = options.allow_partial ? Py_True : Py_False;
    PyObject* inplace = options.inplace ? Py_True : Py_False;
    if (with_transform) {
        PyObject* transform = options.child_transform ? options.child_transform : Py_None;
        PyObject* args[] = {callee, element, partial, inplace, transform, path};
        return py::call_method_kw<"apply", "allow_partial", "inplace", "transform_fn",
                                  "root_path">(args);
    }
    PyObject* args[] = {callee, element, partial, inplace, path};
    return py::call_method_kw<"apply", "allow_partial", "inplace", "root_path">(args);
}

bool read_symbolic_arg(PyObject* value, Tri& out) {
    out = Tri::Unset;
    if (!value || value == Py_None) return true;
    bool b = false;
    if (!py::arg_bool("symbolic", value, b)) return false;
    out = tri_from_bool(b);
    return true;
}

int eq_storage_flags(Tri symbolic, bool auto_wrap, PyObject* other) {
    py::Ref theirs = py::get_attr<"symbolic">(other);
    if (!theirs) return -1;
    if (theirs.get() == Py_None) {
        if (symbolic != Tri::Unset) return 0;
    } else {
        bool b;
        if (!py::arg_bool("symbolic", theirs.get(), b)) return -1;
        // An unset flag never equals a bool.
        if (symbolic == Tri::Unset || b != (symbolic == Tri::True)) return 0;
    }
    const int wrap = attr_bool<"auto_wrap">(other);
    if (wrap < 0) return -1;
    return (wrap == 1) == auto_wrap ? 1 : 0;
}

}  // namespace vesk::typing
