#include "symbolic/object/records/record_functions.hpp"

#include "kernel/record/names.hpp"
#include "py/args.hpp"
#include "py/methods.hpp"
#include "symbolic/adoption.hpp"
#include "symbolic/container/pass_log.hpp"
#include "symbolic/node.hpp"
#include "symbolic/object/records/record_construct.hpp"
#include "symbolic/object/records/record_view.hpp"

#include <vector>

namespace vesk::symbolic::object {

namespace {

PyObject* done(int r) noexcept { return r < 0 ? nullptr : py::none(); }

// `field_names`: a list of str.
bool arg_field_names(PyObject* value) {
    std::vector<py::Ref> names;
    return kernel::record::arg_str_list("field_names", value, names);
}

py::Params kMaterializeParams{"_slot_record_materialize", {"inst", "field_names"}, 2, 2};
constexpr const char* kInitNodeNames[] = {"inst", "allow_partial=False", "sealed=None",
                                          "root_path=None"};
py::Params kInitNodeParams{"_slot_record_init_node_state", kInitNodeNames, 4, 1};
py::Params kInlineParams{"_slot_record_inline_fields", {"inst", "field_names"}, 2, 2};
py::Params kIsMaterializedParams{"_slot_record_is_materialized", {"inst"}, 1, 1};
py::Params kAdoptParams{"_slot_record_adopt_children", {"inst", "field_names"}, 2, 2};
py::Params kRepathParams{"_slot_record_repath_children", {"inst", "new_path=None"}, 2, 1};
py::Params kNodeReadParams{"_slot_record_node_read", {"inst", "role"}, 2, 2};
constexpr const char* kConstructNames[] = {"inst",          "field_names",
                                           "kwargs=None",   "allow_partial=False",
                                           "child_transform=None", "root_path=None"};
py::Params kConstructParams{"_slot_record_construct", kConstructNames, 6, 2};

PyObject* materialize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kMaterializeParams, args, nargs, kwnames, a) || !arg_field_names(a[1]))
        return nullptr;
    return record_materialize(a[0], a[1]).release();
}

PyObject* init_node_state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<4> a;
    bool allow_partial = false;
    if (!py::parse(kInitNodeParams, args, nargs, kwnames, a) ||
        (a.given(1) && !py::arg_bool_scalar("allow_partial", a[1], allow_partial)))
        return nullptr;
    SealedArg sealed = SealedArg::Unspecified;
    if (PyObject* given = none_as_absent(a[2])) {
        bool b = false;
        if (!py::arg_bool_scalar("sealed", given, b)) return nullptr;
        sealed = b ? SealedArg::Yes : SealedArg::No;
    }
    return done(record_seed_node_state(a[0], allow_partial, sealed,
                                       none_as_absent(a[3])));
}

PyObject* inline_fields(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kInlineParams, args, nargs, kwnames, a) || !arg_field_names(a[1]))
        return nullptr;
    py::Ref out;
    if (!record_inline_fields(a[0], a[1], out)) return nullptr;
    return py::new_ref(or_none(out));
}

PyObject* is_materialized(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kIsMaterializedParams, args, nargs, kwnames, a)) return nullptr;
    const int r = record_is_materialized(a[0]);
    return r < 0 ? nullptr : py::boolean(r != 0);
}

PyObject* adopt_children(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kAdoptParams, args, nargs, kwnames, a) || !arg_field_names(a[1]))
        return nullptr;
    return done(record_adopt_children(a[0], a[1]));
}

PyObject* repath_children(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kRepathParams, args, nargs, kwnames, a)) return nullptr;
    return done(record_repath_children(a[0], none_as_absent(a[1])));
}

PyObject* node_read(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<2> a;
    std::uint64_t role = 0;
    if (!py::parse(kNodeReadParams, args, nargs, kwnames, a) || !py::arg_u64("role", a[1], role))
        return nullptr;
    py::Ref value;
    if (!record_node_read(a[0], role, value)) return nullptr;
    return py::new_ref(or_none(value));
}

PyObject* construct_cells(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<6> a;
    bool allow_partial = false;
    if (!py::parse(kConstructParams, args, nargs, kwnames, a) || !arg_field_names(a[1]) ||
        (a.given(3) && !py::arg_bool_scalar("allow_partial", a[3], allow_partial)))
        return nullptr;
    PyObject* kwargs = none_as_absent(a[2]);
    if (kwargs && !PyDict_Check(kwargs)) {
        py::raise_arg_type("kwargs", "a dict or None", kwargs);
        return nullptr;
    }
    // A validation that fails gives back what the fields' specs changed of
    // the containers given (container/pass_log.hpp).
    const ConstructionClaims claims;
    AdoptionLog log(a[0]);
    ConstructionLog applied(a[0], kwargs, log);
    if (record_construct_cells(a[0], a[1], kwargs, allow_partial, none_as_absent(a[4]),
                               none_as_absent(a[5])) < 0)
        return nullptr;
    // Once it stands, a notification that fails leaves it standing.
    const int told = applied.commit();
    log.keep();
    return told < 0 ? nullptr : py::none();
}

}  // namespace

PyMethodDef record_functions[] = {
    py::function<materialize>(
        kMaterializeParams,
        "The record's `_sym_attributes` view, built and installed on first use."),
    py::function<init_node_state>(
        kInitNodeParams, "Seeds the record's node-state cells for a construction."),
    py::function<inline_fields>(
        kInlineParams, "The raw cells of the fields as a dict, or None for a blank record."),
    py::function<is_materialized>(
        kIsMaterializedParams, "Whether the record's `_sym_attributes` view is installed."),
    py::function<adopt_children>(
        kAdoptParams, "Adopts the children in the fields' cells with the record as their parent."),
    py::function<repath_children>(
        kRepathParams, "Gives the record's children their paths under a new key path."),
    py::function<node_read>(kNodeReadParams, "A node-state role of a constructed record, or None."),
    py::kMethodsEnd,
};

PyMethodDef record_construct_functions[] = {
    py::function<construct_cells>(
        kConstructParams, "Validates the keyword arguments and writes the field values into the "
                          "record's cells."),
    py::kMethodsEnd,
};

}  // namespace vesk::symbolic::object
