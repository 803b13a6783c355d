#include "symbolic/object/field_getter.hpp"

#include "py/args.hpp"
#include "py/methods.hpp"
#include "py/type.hpp"
#include "symbolic/object/object_state.hpp"

namespace vesk::symbolic::object {

namespace {

struct GetterState {
    py::Ref name;  // the field name, stored as given

    template <class V>
    void visit(V&& v) {
        v(name);
    }
};

py::TypeCell TYPE;

py::Params kNewParams{"SymFieldGetter", {"name"}, 1, 1};
py::Params kCallParams{"SymFieldGetter", {"obj"}, 1, 1};

PyObject* getter_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::Args<1> a;
    if (!py::parse(kNewParams, args, kwds, a)) return nullptr;
    py::Ref self = py::alloc<GetterState>(type);
    if (self) py::state<GetterState>(self.get()).name = py::Ref::borrow(a[0]);
    return self.release();
}

PyObject* getter_call(py::Scoped<GetterState> self, PyObject* args, PyObject* kwds) {
    PyObject* obj = nullptr;
    py::Args<1> a;
    // A property calls its getter with the instance alone.
    if (!kwds && PyTuple_GET_SIZE(args) == 1) {
        obj = PyTuple_GET_ITEM(args, 0);
    } else {
        if (!py::parse(kCallParams, args, kwds, a)) return nullptr;
        obj = a[0];
    }
    PyTypeObject* type = sym_object_type();
    if (!type || !py::expect_instance(obj, type)) return nullptr;
    py::Ref field;
    {
        auto held = self.shared();
        if (!held) return nullptr;
        field = held->name;
    }
    return topo_field(obj, field.get()).release();
}

PyObject* name(const py::Shared<GetterState>& self) { return py::new_ref(self->name.get()); }

PyGetSetDef kGetters[] = {
    py::getter<name>("name"),
    py::getter<name>("__name__"),
    py::kGettersEnd,
};

}  // namespace

PyTypeObject* sym_field_getter_type() {
    return TYPE.get([](py::TypeDef& t) {
        t.name("vesk_core._native.SymFieldGetter")
            .doc(py::class_doc(kNewParams,
                               "The getter of a field property: calling it with a symbolic "
                               "object reads the field."))
            .state<GetterState>()
            .slots({
                py::slot<Py_tp_new, getter_new>(),
                py::slot<Py_tp_call, getter_call>(),
            })
            .getters(kGetters);
    });
}

}  // namespace vesk::symbolic::object
