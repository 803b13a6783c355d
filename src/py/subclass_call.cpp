#include "py/subclass_call.hpp"

#include "py/ref.hpp"

namespace vesk::py {

void offer_vectorcall(PyTypeObject* type, PyTypeObject* base) noexcept {
    if (type == base || !base->tp_vectorcall || !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) ||
        !constructs_as(type, base))
        return;
    if (__atomic_load_n(&type->tp_vectorcall, __ATOMIC_RELAXED) != nullptr) return;
    __atomic_store_n(&type->tp_vectorcall, base->tp_vectorcall, __ATOMIC_RELAXED);
}

PyObject* call_through_metaclass(PyObject* type, PyObject* const* args, size_t nargsf,
                                 PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Ref tuple = Ref::steal(PyTuple_New(nargs));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        PyTuple_SET_ITEM(tuple.get(), i, Ref::borrow(args[i]).release());
    Ref kwargs;
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0)
                return nullptr;
    }
    ternaryfunc call = Py_TYPE(type)->tp_call;
    if (!call) {
        PyErr_Format(PyExc_TypeError, "'%s' object is not callable", Py_TYPE(type)->tp_name);
        return nullptr;
    }
    return call(type, tuple.get(), kwargs.get());
}

}  // namespace vesk::py
