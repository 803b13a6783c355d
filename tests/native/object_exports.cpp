// Test-only: the object layer's internal operations that no Python-visible
// member reaches yet, bound one by one and handed out as a dict of functions
// by the C entry point `vesk_test_object_seams` (through the seams
// extension's `native_table`). Compiled into development builds of the
// module, never into the wheel.
#include "kernel/record/slots.hpp"
#include "py/hold.hpp"
#include "py/methods.hpp"
#include "symbolic/object/object_state.hpp"
#include "symbolic/object/records/record_direct.hpp"
#include "symbolic/object/record_node.hpp"
#include "seam_args.hpp"

#include <utility>

#define VESK_EXPORT extern "C" __attribute__((visibility("default")))

namespace vesk::object_seams {

namespace {

using namespace vesk::symbolic::object;

bool expect_object(PyObject* obj) {
    PyTypeObject* type = sym_object_type();
    return type && py::expect_instance(obj, type);
}

// store_fields(obj, fields): the field dictionary (a dict, or None for a
// blank object) as construction leaves it: the very dict, not a copy.
PyObject* store_fields(SEAM_ARGS) {
    SEAM_ARITY("store_fields", 2);
    if (!expect_object(args[0])) return nullptr;
    if (args[1] != Py_None && !PyDict_Check(args[1])) {
        py::raise_not_instance(args[1], "dict");
        return nullptr;
    }
    py::Ref dropped;
    {
        py::Exclusive<ObjectState> held(args[0]);
        if (!held) return nullptr;
        PyObject* fields = args[1] == Py_None ? nullptr : args[1];
        dropped = std::exchange(held->fields, py::Ref::borrow(fields));
    }
    return py::none();
}

PyObject* record_is_blank(PyObject*, PyObject* inst) {
    const int r = symbolic::object::record_is_blank(inst);
    return r < 0 ? nullptr : py::boolean(r != 0);
}

// install_view(inst, view): a record's materialised view, as materialising
// installs it; answers the occupant.
PyObject* install_view(SEAM_ARGS) {
    SEAM_ARITY("install_view", 2);
    return kernel::record::install_view(args[0], args[1]).release();
}

// collector_clear(obj): what the cycle collector does to a SymObject.
PyObject* collector_clear(PyObject*, PyObject* obj) {
    if (!expect_object(obj)) return nullptr;
    (void)sym_object_type()->tp_clear(obj);
    return py::none();
}

// while_held(obj, fn): calls fn() while the SymObject is held exclusively,
// as a write in progress on another thread holds it.
PyObject* while_held(SEAM_ARGS) {
    SEAM_ARITY("while_held", 2);
    if (!expect_object(args[0])) return nullptr;
    py::Exclusive<ObjectState> held(args[0]);
    if (!held) return nullptr;
    return PyObject_CallNoArgs(args[1]);
}

// record_direct_road(on): turns the record tp_init's direct road on or off;
// answers the number of records it has built so far.
PyObject* record_direct_road(PyObject*, PyObject* on) {
    const int r = PyObject_IsTrue(on);
    if (r < 0) return nullptr;
    RECORD_DIRECT_OFF.store(r == 0, std::memory_order_relaxed);
    return PyLong_FromUnsignedLongLong(RECORD_DIRECT_BUILT.load(std::memory_order_relaxed));
}

// record_direct_built(): the number of records the direct road has built.
PyObject* record_direct_built(PyObject*) {
    return PyLong_FromUnsignedLongLong(RECORD_DIRECT_BUILT.load(std::memory_order_relaxed));
}

#undef SEAM_ARGS
#undef SEAM_ARITY

PyMethodDef functions[] = {
    py::method<store_fields>("store_fields"),
    py::method<record_is_blank>("record_is_blank"),
    py::method<install_view>("install_view"),
    py::method<collector_clear>("collector_clear"),
    py::method<while_held>("while_held"),
    py::method<record_direct_road>("record_direct_road"),
    py::method<record_direct_built>("record_direct_built"),
    py::kMethodsEnd,
};

}  // namespace

}  // namespace vesk::object_seams

// A new dict {name: function} of the seams above.
VESK_EXPORT PyObject* vesk_test_object_seams(void) {
    using vesk::py::Ref;
    Ref table = Ref::steal(PyDict_New());
    if (!table) return nullptr;
    for (PyMethodDef* def = vesk::object_seams::functions; def->ml_name; ++def) {
        Ref fn = Ref::steal(PyCFunction_New(def, nullptr));
        if (!fn || PyDict_SetItemString(table.get(), def->ml_name, fn.get()) < 0) return nullptr;
    }
    return table.release();
}
