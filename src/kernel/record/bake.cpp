// Baking a class's effective topology mode and its non-symbolic fields into
// the field descriptors of its record type, right after the package made
// it. Only the type's own entries change: inherited fields keep the base's.
#include "kernel/record/field_getset.hpp"
#include "kernel/record/heap_type.hpp"
#include "kernel/record/names.hpp"
#include "py/args.hpp"

#include <vector>

namespace vesk::kernel::record {

py::Params<2> kSetEnableTopoParams{
    "_kernel_set_record_enable_topo", {"record_type", "enable_topo"}, 2, 2};
py::Params<2> kSetFieldKindsParams{
    "_kernel_set_record_field_kinds", {"record_type", "non_symbolic_names"}, 2, 2};

namespace {

bool arg_type(const char* param, PyObject* value, PyTypeObject*& out) {
    if (!PyType_Check(value)) {
        py::raise_arg_type(param, "a type", value);
        return false;
    }
    out = reinterpret_cast<PyTypeObject*>(value);
    return true;
}

// Calls `fn(meta)` for each field entry of `type`'s own getset table.
template <class Fn>
bool for_each_own_field(PyTypeObject* type, Fn&& fn) {
    for (const PyGetSetDef* def = type->tp_getset; def && def->name; ++def)
        if (SlotFieldMeta* meta = field_meta_of(def))
            if (!fn(*meta)) return false;
    return true;
}

}  // namespace

PyObject* set_record_enable_topo(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    py::Args<2> a;
    PyTypeObject* type = nullptr;
    bool enable_topo = true;
    if (!py::parse(kSetEnableTopoParams, args, nargs, kwnames, a) ||
        !arg_type("record_type", a[0], type) ||
        !py::arg_bool_scalar("enable_topo", a[1], enable_topo))
        return nullptr;
    (void)for_each_own_field(type, [&](SlotFieldMeta& meta) {
        meta.enable_topo.store(enable_topo, std::memory_order_relaxed);
        return true;
    });
    return py::none();
}

PyObject* set_record_field_kinds(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    py::Args<2> a;
    PyTypeObject* type = nullptr;
    std::vector<py::Ref> names;
    if (!py::parse(kSetFieldKindsParams, args, nargs, kwnames, a) ||
        !arg_type("record_type", a[0], type) || !arg_str_list("non_symbolic_names", a[1], names))
        return nullptr;
    const bool done = for_each_own_field(type, [&](SlotFieldMeta& meta) {
        for (const py::Ref& name : names) {
            const int equal = PyUnicode_Equal(meta.name.get(), name.get());
            if (equal < 0) return false;
            if (equal) meta.kind.store(FieldKind::NonSymbolic, std::memory_order_relaxed);
        }
        return true;
    });
    return done ? py::none() : nullptr;
}

}  // namespace vesk::kernel::record
