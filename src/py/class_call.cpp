#include "py/class_call.hpp"

#include "py/class_attr.hpp"
#include "py/lazy.hpp"

namespace vesk::py {

namespace {

// A class with a Python `__init__`, whose init slot is the one the
// interpreter gives every such class: the slot that looks `__init__` up on
// the instance's class and calls it.
PyTypeObject* python_init_probe() {
    static ObjectCell CELL;
    PyObject* probe = CELL.get_or_init([] {
        Ref ns = Ref::steal(PyDict_New());
        if (!ns) return Ref();
        Ref ran = Ref::steal(PyRun_String("class Probe:\n    def __init__(self): pass\n",
                                          Py_file_input, ns.get(), ns.get()));
        if (!ran) return Ref();
        PyObject* cls = nullptr;
        if (PyDict_GetItemStringRef(ns.get(), "Probe", &cls) <= 0) return Ref();
        return Ref::steal(cls);
    });
    return probe && PyType_Check(probe) ? reinterpret_cast<PyTypeObject*>(probe) : nullptr;
}

// The Python `__init__` the class call of `type` runs (borrowed until the
// caller next runs Python code, kept by `keep` where that is what keeps it
// alive: class_attr.hpp), or null (no exception) for a class called the
// generic way.
PyObject* init_of(PyTypeObject* type, Ref& keep) {
    if (Py_TYPE(type) != &PyType_Type) return nullptr;  // a metaclass may define __call__
    if (type->tp_new != PyBaseObject_Type.tp_new) return nullptr;
    // The class call runs the init slot, not `__init__`: only while the slot
    // is the interpreter's own does it come to the function found below (a
    // slot set natively, or a namespace changed behind the class's back, may
    // say otherwise).
    PyTypeObject* probe = python_init_probe();
    PyObject* name;
    if (!probe || !intern<"__init__">(name)) {
        PyErr_Clear();
        return nullptr;
    }
    if (type->tp_init != probe->tp_init) return nullptr;
    // A Python function found first on the MRO is what the class's init slot
    // calls; a native `__init__` is a descriptor of another kind.
    return class_function(type, name, keep);
}

}  // namespace

Ref call_class(PyObject* cls, PyObject** args, std::size_t nargs) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    Ref keep;
    PyObject* init = PyType_Check(cls) ? init_of(type, keep) : nullptr;
    if (!init)
        return Ref::steal(
            PyObject_Vectorcall(cls, args + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    // `object.__new__` reads its arguments only to refuse surplus ones, which
    // it does not for a class with its own `__init__`; past its refusal of
    // an abstract class it is the class's allocator.
    Ref self;
    if (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) {
        Ref empty = Ref::steal(PyTuple_New(0));
        if (!empty) return {};
        self = Ref::steal(type->tp_new(type, empty.get(), nullptr));
    } else {
        self = Ref::steal(type->tp_alloc(type, 0));
    }
    if (!self) return {};
    args[0] = self.get();
    Ref result = Ref::steal(PyObject_Vectorcall(init, args, nargs + 1, nullptr));
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
