#include "py/class_call.hpp"

#include "py/lazy.hpp"

#include <cstdint>

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

// The class's `__init__` when the class call reduces to `object.__new__`
// followed by that Python function; null (no exception) otherwise.
Ref plain_init(PyTypeObject* type) {
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

#ifdef Py_GIL_DISABLED
// The `__init__` this thread last found for a class, by the class's version
// tag, which any change of its namespace or of a base's moves on: while the
// tag holds, the class still has that function. The function is borrowed
// without a new reference (on the free-threaded build an atomic update of a
// count every thread calling the class shares): it has deferred reference
// counting, so it is freed only by the collector, which runs with every
// thread at a safe point, and this thread reaches none before the call's
// frame holds the function. Trivial, so the thread-local needs no
// initialisation check; it owns nothing.
struct CachedInit {
    PyTypeObject* type;
    unsigned int version;
    PyObject* init;
};
constexpr std::size_t kCachedInits = 8;
[[gnu::tls_model("initial-exec")]] thread_local CachedInit t_inits[kCachedInits];

unsigned int version_of(PyTypeObject* type) noexcept {
    return __atomic_load_n(&type->tp_version_tag, __ATOMIC_ACQUIRE);
}
#endif

// The Python `__init__` the class call of `type` runs (borrowed until the
// caller next runs Python code, kept by `keep` where it had to be found), or
// null (no exception) for a class called the generic way.
PyObject* init_of(PyTypeObject* type, Ref& keep) {
    if (Py_TYPE(type) != &PyType_Type) return nullptr;  // a metaclass may define __call__
    if (type->tp_new != PyBaseObject_Type.tp_new) return nullptr;
    // The class call runs the init slot, not `__init__`: only while the slot
    // is the interpreter's own does it come to the function found below (a
    // slot set natively, or a namespace changed behind the class's back, may
    // say otherwise).
    PyTypeObject* probe = python_init_probe();
    if (!probe) {
        PyErr_Clear();
        return nullptr;
    }
    if (type->tp_init != probe->tp_init) return nullptr;
#ifdef Py_GIL_DISABLED
    CachedInit& slot = t_inits[(reinterpret_cast<std::uintptr_t>(type) >> 4) % kCachedInits];
    // Read, and given when the class has none, before the lookup: a change
    // after it moves the tag on, so the function found below is never kept
    // under a tag it is older than. (A tag given after the lookup could be
    // one a change made meanwhile, newer than the function found.)
    unsigned int version = version_of(type);
    if (version == 0 && PyUnstable_Type_AssignVersionTag(type)) version = version_of(type);
    if (version != 0 && slot.type == type && slot.version == version) return slot.init;
    keep = plain_init(type);
    if (!keep) return nullptr;
    // A function is a collected type, so this makes its counting deferred or
    // finds it so already.
    (void)PyUnstable_Object_EnableDeferredRefcount(keep.get());
    if (version != 0) slot = CachedInit{type, version, keep.get()};
    return keep.get();
#else
    // With the global lock a new reference costs next to nothing.
    keep = plain_init(type);
    return keep.get();
#endif
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
    // it does not for a class with its own `__init__`.
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) return {};
    Ref self = Ref::steal(type->tp_new(type, empty.get(), nullptr));
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
