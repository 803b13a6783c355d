#include "py/class_call.hpp"

#include "py/lazy.hpp"

namespace vesk::py {

namespace {

// The class's `__init__` when the class call reduces to `object.__new__`
// followed by that Python function; null (no exception) otherwise.
Ref plain_init(PyObject* cls) {
    if (Py_TYPE(cls) != &PyType_Type) return {};  // a metaclass may define __call__
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (type->tp_new != PyBaseObject_Type.tp_new) return {};
    PyObject* name;
    if (!intern<"__init__">(name)) {
        PyErr_Clear();
        return {};
    }
    // A Python function found first on the MRO is what the class's init slot
    // calls; a native `__init__` is a descriptor of another kind.
    Ref init = Ref::steal(_PyType_LookupRef(type, name));
    return init && PyFunction_Check(init.get()) ? std::move(init) : Ref();
}

}  // namespace

Ref call_class(PyObject* cls, PyObject** args, std::size_t nargs) {
    Ref init = plain_init(cls);
    if (!init)
        return Ref::steal(
            PyObject_Vectorcall(cls, args + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    // `object.__new__` reads its arguments only to refuse surplus ones, which
    // it does not for a class with its own `__init__`.
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) return {};
    Ref self = Ref::steal(type->tp_new(type, empty.get(), nullptr));
    if (!self) return {};
    args[0] = self.get();
    Ref result = Ref::steal(PyObject_Vectorcall(init.get(), args, nargs + 1, nullptr));
    args[0] = nullptr;
    if (!result) return {};
    if (result.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                     Py_TYPE(result.get())->tp_name);
        return {};
    }
    return self;
}

}  // namespace vesk::py
