#include "symbolic/object/field_getter.hpp"

#include "py/args.hpp"
#include "py/methods.hpp"
#include "py/type.hpp"
#include "symbolic/object/object_state.hpp"

#include <cstddef>

namespace vesk::symbolic::object {

namespace {

struct GetterState {
    vectorcallfunc call = nullptr;  // how the interpreter calls the instance
    py::Ref name;                   // the field name, stored as given

    template <class V>
    void visit(V&& v) {
        v(name);
    }
};

py::TypeCell TYPE;

py::Params kNewParams{"SymFieldGetter", {"name"}, 1, 1};
py::Params kCallParams{"SymFieldGetter", {"obj"}, 1, 1};

// `getter(obj)`: a property calls its getter with the instance alone, so
// that call takes no argument tuple.
PyObject* getter_call(PyObject* self, PyObject* const* args, std::size_t nargsf,
                      PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* obj = nargs == 1 && !kwnames ? args[0] : nullptr;
    py::Args<1> a;
    if (!obj) {
        if (!py::parse(kCallParams, args, nargs, kwnames, a)) return nullptr;
        obj = a[0];
    }
    PyTypeObject* type = sym_object_type();
    if (!type || !py::expect_instance(obj, type)) return nullptr;
    py::Ref field;
    {
        py::Shared<GetterState> held(self);
        if (!held) return nullptr;
        field = held->name;
    }
    return topo_field(obj, field.get()).release();
}

PyObject* getter_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::TupleArgs<1> a;
    if (!py::parse(kNewParams, args, kwds, a)) return nullptr;
    py::Ref self = py::alloc<GetterState>(type);
    if (!self) return nullptr;
    GetterState& state = py::state<GetterState>(self.get());
    state.call = reinterpret_cast<vectorcallfunc>(py::entry<getter_call>);
    state.name = py::Ref::borrow(a[0]);
    return self.release();
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
            .instance_vectorcall<GetterState>()
            .slots({py::slot<Py_tp_new, getter_new>()})
            .getters(kGetters);
    });
}

}  // namespace vesk::symbolic::object
