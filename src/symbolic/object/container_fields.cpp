// Which init fields of a class construction passes through as raw
// containers and which it wraps into symbolic ones: the package's clone and
// JSON roads ask before they copy.
#include "symbolic/object/seams.hpp"

#include "py/args.hpp"
#include "py/lazy.hpp"
#include "py/methods.hpp"
#include "symbolic/object/ctor_meta.hpp"
#include "symbolic/object/seam_ops.hpp"
#include "typing/funnel/classify.hpp"
#include "typing/markers.hpp"

namespace vesk::symbolic::object {

namespace {

py::Params kCandidateParams{"_container_candidate_fields", {"cls"}, 1, 1};
py::Params kWrapParams{"_container_wrap_fields", {"cls"}, 1, 1};

// Whether the init field `entry` (a (name, field) pair) keeps `name`: its
// value spec is a container candidate whose storage answer is `wrap`.
// 1 with `name` set, 0, or -1.
[[nodiscard]] int keeps(PyObject* entry, bool topo, bool wrap, py::Ref& name) {
    name = py::Ref::steal(PySequence_GetItem(entry, 0));
    if (!name) return -1;
    py::Ref field = py::Ref::steal(PySequence_GetItem(entry, 1));
    if (!field) return -1;
    py::Ref spec = py::get_attr<"value">(field.get());
    if (!spec) return -1;
    bool candidate = false;
    if (!typing::funnel::is_container_candidate(spec.get(), candidate)) return -1;
    if (!candidate || typing::spec_storage(spec.get(), topo) != wrap) return 0;
    if (!py::arg_str("name", name.get())) return -1;
    return 1;
}

}  // namespace

py::Ref container_spec_fields(PyObject* cls, bool wrap) {
    py::Ref options = py::get_attr<"__sym_options__">(cls);
    if (!options) return {};
    py::Ref topo_option = py::get_attr<"topo">(options.get());
    if (!topo_option) return {};
    const int topo = PyObject_IsTrue(topo_option.get());
    if (topo < 0) return {};
    // Built afresh: the answer reflects the class as it is now, and the
    // class's cached metadata is left alone.
    CtorMetaRef meta = build_ctor_meta(cls);
    if (!meta) return {};
    py::Ref names = py::Ref::steal(PyList_New(0));
    if (!names) return {};
    PyObject* init_fields = meta->init_fields.get();
    if (!init_fields || init_fields == Py_None) return names;
    py::Ref it = py::Ref::steal(PyObject_GetIter(init_fields));
    if (!it) return {};
    for (;;) {
        py::Ref entry = py::Ref::steal(PyIter_Next(it.get()));
        if (!entry) {
            if (PyErr_Occurred()) return {};
            return names;
        }
        py::Ref name;
        const int kept = keeps(entry.get(), topo != 0, wrap, name);
        if (kept < 0 || (kept && PyList_Append(names.get(), name.get()) < 0)) return {};
    }
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
