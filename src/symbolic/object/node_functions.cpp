#include "symbolic/object/node_functions.hpp"

#include "py/args.hpp"
#include "py/methods.hpp"
#include "symbolic/node.hpp"
#include "symbolic/object/node_state.hpp"
#include "symbolic/origin.hpp"

namespace vesk::symbolic::object {

namespace {


PyObject* done(int r) noexcept { return r < 0 ? nullptr : py::none(); }

py::Params kSetParentParams{"_node_setparent", {"inst", "parent=None"}, 2, 1};
py::Params kSetPathParams{"_node_setpath", {"inst", "path=None"}, 2, 1};
constexpr const char* kOriginNames[] = {
    "inst", "source", "tag", "stacktrace=None", "stacklimit=None", "stacktop=-1"};
py::Params kSetOriginParams{"_node_setorigin", kOriginNames, 6, 3};
py::Params kSealParams{"_node_seal", {"inst", "is_seal=True"}, 2, 1};
py::Params kProbeGetParams{"_probe_node_get", {"inst", "role"}, 2, 2};
py::Params kProbeSetParams{"_probe_node_set", {"inst", "role", "value=None"}, 3, 2};

}  // namespace

PyObject* node_setparent(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kSetParentParams, args, nargs, kwnames, a)) return nullptr;
    return done(set_parent(a[0], none_as_absent(a[1])));
}

PyObject* node_setpath(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<2> a;
    NodeFacts facts;
    if (!py::parse(kSetPathParams, args, nargs, kwnames, a) || !node_facts(a[0], facts))
        return nullptr;
    return done(set_path(a[0], none_as_absent(a[1]), facts));
}

PyObject* node_setorigin(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<6> a;
    std::int64_t stacktop = -1;
    if (!py::parse(kSetOriginParams, args, nargs, kwnames, a) || !arg_stacktop(a[5], stacktop))
        return nullptr;
    PyObject* trace = none_as_absent(a[3]);
    PyObject* limit = none_as_absent(a[4]);
    return done(set_origin(a[0], a[1], a[2], trace, limit, stacktop));
}

PyObject* node_seal(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<2> a;
    bool is_seal = true;
    if (!py::parse(kSealParams, args, nargs, kwnames, a) ||
        (a.given(1) && !py::arg_bool_scalar("is_seal", a[1], is_seal)))
        return nullptr;
    return done(seal(a[0], is_seal));
}

PyObject* probe_node_get(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<2> a;
    std::uint64_t role = 0;
    if (!py::parse(kProbeGetParams, args, nargs, kwnames, a) || !py::arg_u64("role", a[1], role))
        return nullptr;
    py::Ref value;
    if (get_role(a[0], role, value) < 0) return nullptr;
    return py::new_ref(or_none(value));
}

PyObject* probe_node_set(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<3> a;
    std::uint64_t role = 0;
    if (!py::parse(kProbeSetParams, args, nargs, kwnames, a) || !py::arg_u64("role", a[1], role))
        return nullptr;
    return done(set_role(a[0], role, none_as_absent(a[2])));
}


PyMethodDef node_topology_functions[] = {
    py::function<node_setparent>(
        kSetParentParams, "Sets the parent of a symbolic object or record."),
    py::function<node_setpath>(
        kSetPathParams, "Sets the key path of a symbolic object or record and re-paths its "
                        "children."),
    py::function<node_setorigin>(
        kSetOriginParams, "Records the origin of a symbolic object or record."),
    py::function<node_seal>(
        kSealParams, "Seals or unseals a symbolic object or record and its symbolic children."),
    py::kMethodsEnd,
};

PyMethodDef node_probe_functions[] = {
    py::function<probe_node_get>(
        kProbeGetParams, "A node-state role of a symbolic object or record, or None."),
    py::function<probe_node_set>(
        kProbeSetParams,
        "Stores a node-state role of a symbolic object or record; None empties it."),
    py::kMethodsEnd,
};

}  // namespace vesk::symbolic::object
