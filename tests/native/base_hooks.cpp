// Classes declared over each built-in base (`object`, `dict`, `list`), each
// with one Python reference in its State, and the binding layer's value
// conversions: the downcast check and the bool-scalar rule, with a stand-in
// for the numeric library's bool scalar (a static type named "numpy.bool").
#include "testhooks.hpp"

#include "py/args.hpp"
#include "py/methods.hpp"
#include "py/module.hpp"
#include "py/type.hpp"

namespace vesk::testhooks {

namespace {

// One Python reference kept beside whatever the base stores.
template <class Base>
struct Tagged {
    using Extends = Base;
    static constexpr bool kWeakrefs = true;
    py::Ref tag;
    template <class V>
    void visit(V&& v) {
        v(tag);
    }
};

// The dict form also keeps an instance dict; the list form leaves that to
// its Python subclasses.
struct DictTagged : Tagged<py::DictBase> {
    static constexpr bool kInstanceDict = true;
};
using ObjectTagged = Tagged<py::ObjectBase>;
using ListTagged = Tagged<py::ListBase>;

template <class State>
PyObject* get_tag(const py::Shared<State>& self) {
    return py::new_ref(self->tag ? self->tag.get() : Py_None);
}

template <class State>
int set_tag(const py::Exclusive<State>& self, PyObject* value) {
    self->tag = py::Ref::borrow(value);  // deletion leaves no tag
    return 0;
}

template <class State>
PyGetSetDef getters[] = {
    py::getter<get_tag<State>, set_tag<State>>("tag"),
    py::kGettersEnd,
};

template <class State>
py::TypeCell TYPE;

template <class State>
PyTypeObject* tagged_type(const char* name) {
    return TYPE<State>.get([name](py::TypeDef& t) {
        t.name(name).state<State>().subclassable().getters(getters<State>);
    });
}

PyTypeObject* object_type() {
    return tagged_type<ObjectTagged>("vesk_core._native_testhooks.TaggedObject");
}
PyTypeObject* dict_type() {
    return tagged_type<DictTagged>("vesk_core._native_testhooks.TaggedDict");
}
PyTypeObject* list_type() {
    return tagged_type<ListTagged>("vesk_core._native_testhooks.TaggedList");
}

// The tag of a TaggedDict; anything else fails the downcast check.
PyObject* dict_tag(PyObject*, PyObject* value) {
    PyTypeObject* type = dict_type();
    if (!type || !py::expect_instance(value, type)) return nullptr;
    py::Shared<DictTagged> held(value);
    if (!held) return nullptr;
    return py::new_ref(held->tag ? held->tag.get() : Py_None);
}

// `value` read as a bool scalar, or the conversion's TypeError.
PyObject* bool_scalar(PyObject*, PyObject* value) {
    bool out = false;
    if (!py::arg_bool_scalar("value", value, out)) return nullptr;
    return py::boolean(out);
}

// --- the stand-in for numpy.bool -----------------------------------------

struct FakeBool {
    PyObject_HEAD
    bool value;
};

int fake_bool_truth(PyObject* self) { return reinterpret_cast<FakeBool*>(self)->value; }

PyNumberMethods fake_bool_number{};
PyTypeObject fake_bool_type{};

// A new "numpy.bool" holding the truth of `value`.
PyObject* fake_numpy_bool(PyObject*, PyObject* value) {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return nullptr;
    PyObject* obj = PyType_GenericAlloc(&fake_bool_type, 0);
    if (obj) reinterpret_cast<FakeBool*>(obj)->value = truth != 0;
    return obj;
}

int ready_fake_bool() {
    if (fake_bool_type.tp_name) return 0;
    fake_bool_number.nb_bool = py::entry<fake_bool_truth>;
    fake_bool_type.tp_name = "numpy.bool";
    fake_bool_type.tp_basicsize = sizeof(FakeBool);
    fake_bool_type.tp_flags = Py_TPFLAGS_DEFAULT;
    fake_bool_type.tp_as_number = &fake_bool_number;
    return PyType_Ready(&fake_bool_type);
}

PyMethodDef functions[] = {
    py::method<dict_tag>("dict_tag"),
    py::method<bool_scalar>("bool_scalar"),
    py::method<fake_numpy_bool>("fake_numpy_bool"),
    py::kMethodsEnd,
};

}  // namespace

int register_bases(PyObject* module) {
    if (ready_fake_bool() < 0 || py::add_functions(module, functions) < 0) return -1;
    if (py::add_type(module, object_type()) < 0 || py::add_type(module, dict_type()) < 0)
        return -1;
    return py::add_type(module, list_type());
}

}  // namespace vesk::testhooks
