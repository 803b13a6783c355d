// `_slot_node_get`, `_slot_node_set` and `_slot_node_set_if_absent`: raw,
// role-indexed access to a record's node-state cells for the package.
#include "kernel/record/node_functions.hpp"

#include "kernel/record/slots.hpp"
#include "py/args.hpp"

namespace vesk::kernel::record {

py::Params<2> kSlotNodeGetParams{"_slot_node_get", {"inst", "role"}, 2, 2};
py::Params<3> kSlotNodeSetParams{"_slot_node_set", {"inst", "role", "value=None"}, 3, 2};
py::Params<3> kSlotNodeSetIfAbsentParams{
    "_slot_node_set_if_absent", {"inst", "role", "value"}, 3, 3};

PyObject* slot_node_get(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<2> a;
    std::uint64_t role = 0;
    if (!py::parse(kSlotNodeGetParams, args, nargs, kwnames, a) || !py::arg_u64("role", a[1], role))
        return nullptr;
    py::Ref value;
    if (!get_role(a[0], role, value)) return nullptr;
    return value ? value.release() : py::none();
}

PyObject* slot_node_set(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<3> a;
    std::uint64_t role = 0;
    if (!py::parse(kSlotNodeSetParams, args, nargs, kwnames, a) || !py::arg_u64("role", a[1], role))
        return nullptr;
    PyObject* value = a[2] == Py_None ? nullptr : a[2];
    return set_role(a[0], role, value) ? py::none() : nullptr;
}

PyObject* slot_node_set_if_absent(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    py::Args<3> a;
    std::uint64_t role = 0;
    if (!py::parse(kSlotNodeSetIfAbsentParams, args, nargs, kwnames, a) ||
        !py::arg_u64("role", a[1], role))
        return nullptr;
    return set_role_if_absent(a[0], role, a[2]).release();
}

}  // namespace vesk::kernel::record
