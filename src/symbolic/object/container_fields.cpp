// The two probes of construction that tell the package which init fields
// of a class take raw containers: those kept as they are and those wrapped
// into symbolic containers.
#include "symbolic/object/container_fields.hpp"

#include "py/args.hpp"
#include "py/methods.hpp"
#include "py/named.hpp"
#include "symbolic/object/ctor_meta.hpp"
#include "typing/value_spec/engine/classify.hpp"
#include "typing/markers.hpp"

namespace vesk::symbolic::object {

namespace {

py::Params kCandidateParams{"_container_candidate_fields", {"cls"}, 1, 1};
py::Params kWrapParams{"_container_wrap_fields", {"cls"}, 1, 1};

// The names of the class's init fields whose value spec is a container
// candidate and whose storage is symbolic exactly when `wrap`, in the order
// of the metadata's init fields.
py::Ref container_spec_fields(PyObject* cls, bool wrap) {
    py::Ref options = py::get_attr<"__sym_options__">(cls);
    py::Ref topo_option = options ? py::get_attr<"topo">(options.get()) : py::Ref();
    if (!topo_option) return {};
    const int topo = PyObject_IsTrue(topo_option.get());
    if (topo < 0) return {};
    CtorMetaRef meta = build_ctor_meta(cls);
    if (!meta) return {};
    py::Ref names = py::Ref::steal(PyList_New(0));
    if (!names || meta->init_fields.get() == Py_None) return names;
    py::Ref it = py::Ref::steal(PyObject_GetIter(meta->init_fields.get()));
    if (!it) return {};
    for (;;) {
        PyObject* next = nullptr;
        const int step = PyIter_NextItem(it.get(), &next);
        py::Ref entry = py::Ref::steal(next);
        if (step < 0) return {};
        if (step == 0) return names;
        py::Ref name = py::Ref::steal(PySequence_GetItem(entry.get(), 0));
        py::Ref field = name ? py::Ref::steal(PySequence_GetItem(entry.get(), 1)) : py::Ref();
        py::Ref spec = field ? py::get_attr<"value">(field.get()) : py::Ref();
        if (!spec) return {};
        if (!PyUnicode_Check(name.get())) {
            py::raise_not_instance(name.get(), "str");
            return {};
        }
        const bool stored = typing::spec_storage(spec.get(), topo != 0);
        bool candidate = false;
        if (!typing::funnel::is_container_candidate(spec.get(), candidate)) return {};
        if (candidate && stored == wrap && PyList_Append(names.get(), name.get()) < 0) return {};
    }
}

template <bool Wrap, auto& Params>
PyObject* probe(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(Params, args, nargs, kwnames, a)) return nullptr;
    return container_spec_fields(a[0], Wrap).release();
}

}  // namespace

PyMethodDef container_field_functions[] = {
    py::function<probe<false, kCandidateParams>>(
        kCandidateParams, "The names of the class's init fields whose raw containers construction "
                          "keeps as they are."),
    py::function<probe<true, kWrapParams>>(
        kWrapParams, "The names of the class's init fields whose raw containers construction wraps "
                     "into symbolic containers."),
    py::kMethodsEnd,
};

}  // namespace vesk::symbolic::object
