// Which init fields of a class construction passes through as raw
// containers and which it wraps into symbolic ones: the package's clone and
// JSON roads ask before they copy.
#include "symbolic/object/seams.hpp"

#include "py/args.hpp"
#include "py/methods.hpp"
#include "symbolic/object/seam_ops.hpp"

namespace vesk::symbolic::object {

namespace {

py::Params kCandidateParams{"_container_candidate_fields", {"cls"}, 1, 1};
py::Params kWrapParams{"_container_wrap_fields", {"cls"}, 1, 1};

}  // namespace

py::Ref container_spec_fields(PyObject*, bool) {
    PyErr_SetString(PyExc_NotImplementedError, "container fields");
    return {};
}

PyObject* container_candidate_fields(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kCandidateParams, args, nargs, kwnames, a)) return nullptr;
    return container_spec_fields(a[0], false).release();
}

PyObject* container_wrap_fields(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kWrapParams, args, nargs, kwnames, a)) return nullptr;
    return container_spec_fields(a[0], true).release();
}

PyMethodDef container_probe_functions[] = {
    py::method<container_candidate_fields>(
        "_container_candidate_fields", kCandidateParams,
        "The init fields of a class whose container values construction stores as given."),
    py::method<container_wrap_fields>(
        "_container_wrap_fields", kWrapParams,
        "The init fields of a class whose container values construction wraps into "
        "symbolic containers."),
    py::kMethodsEnd,
};

}  // namespace vesk::symbolic::object
