#include "py/class_attr.hpp"

#include "py/critical_section.hpp"

#include <cstdint>

namespace vesk::py {

namespace {

// The functions this thread last found, by class, name and version tag.
// Trivial, so the thread-local needs no initialisation check; it owns
// nothing (see class_function for what keeps a function alive).
struct CachedFunction {
    PyTypeObject* type;
    PyObject* name;
    unsigned int version;
    PyObject* function;
};
constexpr std::size_t kCachedFunctions = 8;
[[gnu::tls_model("initial-exec")]] thread_local CachedFunction t_functions[kCachedFunctions];

unsigned int version_of(PyTypeObject* type) noexcept {
    return __atomic_load_n(&type->tp_version_tag, __ATOMIC_ACQUIRE);
}

CachedFunction& cache_slot(PyTypeObject* type, PyObject* name) noexcept {
    const auto mix = (reinterpret_cast<std::uintptr_t>(type) >> 4) ^
                     (reinterpret_cast<std::uintptr_t>(name) >> 4);
    return t_functions[mix % kCachedFunctions];
}

// Whether the instance's own attributes hold nothing under `name`, so the
// generic lookup comes to the class's non-data descriptor. An instance
// whose attributes the interpreter keeps for it (inline, or in a managed
// dictionary) is looked at without building its dictionary: only one with
// no attributes at all answers true, any other takes the generic road.
// Runs no Python code.
bool instance_lacks(PyObject* obj, PyObject* name) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) {
        int (*any)(PyObject*, void*) = [](PyObject*, void* seen) {
            *static_cast<bool*>(seen) = true;
            return 1;
        };
        bool seen = false;
        // What stores an instance's attributes does so in the instance's
        // critical section.
        CriticalSection guard(obj);
        (void)PyObject_VisitManagedDict(obj, any, &seen);
        return !seen;
    }
    if (type->tp_dictoffset == 0) return true;
    Ref dict;
    {
        CriticalSection guard(obj);
        PyObject** slot = _PyObject_GetDictPtr(obj);
        if (slot) dict = Ref::borrow(*slot);
    }
    if (!dict) return true;
    // A str key against a dictionary of str keys runs no Python code.
    if (!PyDict_CheckExact(dict.get()) || !PyUnicode_CheckExact(name)) return false;
    const int present = PyDict_Contains(dict.get(), name);
    if (present < 0) PyErr_Clear();
    return present == 0;
}

}  // namespace

PyObject* class_function(PyTypeObject* type, PyObject* name, Ref& keep) {
    CachedFunction& slot = cache_slot(type, name);
    // Read, and given when the class has none, before the lookup: a change
    // after it moves the tag on, so the function found below is never kept
    // under a tag it is older than. (A tag given after the lookup could be
    // one a change made meanwhile, newer than the function found.)
    unsigned int version = version_of(type);
    if (version == 0 && PyUnstable_Type_AssignVersionTag(type)) version = version_of(type);
    if (version != 0 && slot.type == type && slot.name == name && slot.version == version) {
#ifdef Py_GIL_DISABLED
        // Borrowed with no new reference: the function has deferred
        // counting (below), so it is freed only by the collector, which runs
        // with every thread at a safe point, and the caller reaches none
        // before its call's frame holds the function.
        return slot.function;
#else
        // With the global lock the collector may run at any allocation, and
        // a finaliser it runs may change the class: a new reference, which
        // costs next to nothing here, keeps the function until the call.
        keep = Ref::borrow(slot.function);
        return keep.get();
#endif
    }
    Ref found = Ref::steal(_PyType_LookupRef(type, name));
    if (!found || !PyFunction_Check(found.get())) return nullptr;
    // A function is a collected type, so this makes its counting deferred
    // or finds it so already (nothing with the global lock).
#ifdef Py_GIL_DISABLED
    (void)PyUnstable_Object_EnableDeferredRefcount(found.get());
#endif
    if (version != 0) slot = CachedFunction{type, name, version, found.get()};
    keep = std::move(found);
    return keep.get();
}

Ref call_method_one(PyObject* obj, PyObject* name, PyObject* arg, getattrofunc generic_first) {
    PyObject* args[] = {obj, arg};
    // The interpreter's own method call makes no bound method where the
    // lookup is the generic one; only a native lookup in front of it needs
    // this road. The instance is looked at first: a lookup in its
    // dictionary may run Python code (a key's own `__eq__`), which the
    // borrowed function must not outlive.
    if (generic_first && Py_TYPE(obj)->tp_getattro == generic_first &&
        instance_lacks(obj, name)) {
        Ref keep;
        if (PyObject* function = class_function(Py_TYPE(obj), name, keep))
            return Ref::steal(PyObject_Vectorcall(function, args, 2, nullptr));
    }
    return Ref::steal(
        PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace vesk::py
