// A test-only extension, `vesk_core._native_testhooks`: functions and types
// that fail inside native code on purpose, bound through the same binding
// layer as the product module, so the suite can see what a C++ failure
// becomes at the boundary; and, in the files beside it, the binding layer's
// holds, built-in bases and shared records at work. Never part of the wheel.
#include "testhooks.hpp"

#include "py/args.hpp"
#include "py/class_call.hpp"
#include "py/errors.hpp"
#include "py/lazy.hpp"
#include "py/methods.hpp"
#include "py/module.hpp"
#include "py/type.hpp"

#include <new>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace vesk::testhooks {

namespace {

// Fails the way `how` names: "cpp" throws std::runtime_error, "alloc"
// std::bad_alloc, "other" a non-standard exception, "internal" raises an
// internal error, "python" a ValueError, "silent" returns failure without
// an exception; anything else succeeds.
[[nodiscard]] bool fail(const char* how) {
    const std::string_view h(how);
    if (h == "cpp") throw std::runtime_error("thrown from native code");
    if (h == "alloc") throw std::bad_alloc();
    if (h == "other") throw 42;
    if (h == "internal") {
        py::raise_internal("test bridge not installed");
        return false;
    }
    if (h == "python") {
        PyErr_SetString(PyExc_ValueError, "plain failure");
        return false;
    }
    return h != "silent";
}

// The failure mode kept on a Thrower instance.
struct Mode {
    py::Ref how;
    template <class V>
    void visit(V&& v) {
        v(how);
    }
    [[nodiscard]] const char* text() const { return how ? PyUnicode_AsUTF8(how.get()) : "none"; }
};

PyTypeObject* thrower_type();

py::Params kThrowerParams{"Thrower", {"how"}, 1, 1};

PyObject* thrower_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::TupleArgs<1> a;
    if (!py::parse(kThrowerParams, args, kwds, a) || !py::arg_str("how", a[0])) return nullptr;
    py::Ref self = py::alloc<Mode>(type);
    if (!self) return nullptr;
    py::state<Mode>(self.get()).how = py::Ref::borrow(a[0]);
    return self.release();
}

PyObject* thrower_method(PyObject* self) {
    return fail(py::state<Mode>(self).text()) ? py::none() : nullptr;
}
PyObject* thrower_getter(PyObject* self) {
    return fail(py::state<Mode>(self).text()) ? py::none() : nullptr;
}
int thrower_setter(PyObject* self, PyObject*) {
    return fail(py::state<Mode>(self).text()) ? 0 : -1;
}
Py_hash_t thrower_hash(PyObject* self) { return fail(py::state<Mode>(self).text()) ? 7 : -1; }
PyObject* thrower_repr(PyObject* self) {
    return fail(py::state<Mode>(self).text()) ? PyUnicode_FromString("Thrower()") : nullptr;
}
Py_ssize_t thrower_len(PyObject* self) { return fail(py::state<Mode>(self).text()) ? 0 : -1; }
PyObject* thrower_class_method(PyObject*, PyObject* how) {
    if (!py::arg_str("how", how)) return nullptr;
    return fail(PyUnicode_AsUTF8(how)) ? py::none() : nullptr;
}

PyMethodDef thrower_methods[] = {
    py::method<thrower_method>("method"),
    py::class_method<thrower_class_method>("class_method"),
    py::kMethodsEnd,
};
PyGetSetDef thrower_getters[] = {
    py::getter<thrower_getter, thrower_setter>("attr"),
    py::kGettersEnd,
};

// `repr` runs through the panic entry; `hash` and `len` through the plain one.
PyTypeObject* thrower_type() {
    static py::TypeCell TYPE;
    return TYPE.get([](py::TypeDef& t) {
        t.name("vesk_core._native_testhooks.Thrower")
            .state<Mode>()
            .slots({
                py::slot<Py_tp_new, thrower_new>(),
                py::slot<Py_tp_hash, thrower_hash>(),
                py::slot<Py_mp_length, thrower_len>(),
                py::panic_slot<Py_tp_repr, thrower_repr>(),
            })
            .methods(thrower_methods)
            .getters(thrower_getters);
    });
}

// A subclassable GC type holding one object, with an instance dict and weak
// references: cycles through either must be collected.
struct Held {
    static constexpr bool kInstanceDict = true;
    static constexpr bool kWeakrefs = true;
    py::Ref value;
    template <class V>
    void visit(V&& v) {
        v(value);
    }
};

py::Params kHolderParams{"Holder", {"value"}, 1, 0};

PyObject* holder_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::TupleArgs<1> a;
    if (!py::parse(kHolderParams, args, kwds, a)) return nullptr;
    py::Ref self = py::alloc<Held>(type);
    if (self) py::state<Held>(self.get()).value = py::Ref::borrow(a.given(0) ? a[0] : Py_None);
    return self.release();
}
PyObject* holder_get(PyObject* self) { return py::Ref(py::state<Held>(self).value).release(); }
int holder_set(PyObject* self, PyObject* value) {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete value");
        return -1;
    }
    py::state<Held>(self).value = py::Ref::borrow(value);
    return 0;
}

PyGetSetDef holder_getters[] = {
    py::getter<holder_get, holder_set>("value"),
    py::kGettersEnd,
};

PyTypeObject* holder_type() {
    static py::TypeCell TYPE;
    return TYPE.get([](py::TypeDef& t) {
        t.name("vesk_core._native_testhooks.Holder")
            .state<Held>()
            .subclassable()
            .slots({py::slot<Py_tp_new, holder_new>()})
            .getters(holder_getters);
    });
}

// --- module functions -------------------------------------------------------

PyObject* raise_from(PyObject*, PyObject* how) {
    if (!py::arg_str("how", how)) return nullptr;
    return fail(PyUnicode_AsUTF8(how)) ? py::none() : nullptr;
}

// Binds its arguments as `probe(a, b=None, /, *, c, **kwargs)` would and
// returns (a, b, c, [extra keyword names]), None for an omitted one.
py::Params kProbeParams{"probe", {"a", "b", "c"}, 2, 1, py::Keywords::Collect};

[[nodiscard]] PyObject* bound(const py::Args<3>& a) {
    py::Ref extra = py::Ref::steal(PyList_New(0));
    if (!extra) return nullptr;
    for (const py::ExtraKeyword& k : a.extra())
        if (PyList_Append(extra.get(), k.name) < 0) return nullptr;
    auto arg = [&](std::size_t i) { return a.given(i) ? a[i] : Py_None; };
    return Py_BuildValue("(OOOO)", arg(0), arg(1), arg(2), extra.get());
}

PyObject* probe(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<3> a;
    if (!py::parse(kProbeParams, args, nargs, kwnames, a)) return nullptr;
    return bound(a);
}

// The same parameters through the tuple-and-dict convention.
PyObject* probe_tuple(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Ref tuple = py::Ref::steal(PyTuple_New(nargs));
    py::Ref kwds = py::Ref::steal(PyDict_New());
    if (!tuple || !kwds) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, py::new_ref(args[i]));
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (PyDict_SetItem(kwds.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0)
            return nullptr;
    py::TupleArgs<3> a;
    if (!py::parse(kProbeParams, tuple.get(), kwds.get(), a)) return nullptr;
    return bound(a);
}

py::Params kStrictParams{"strict", {"x"}, 0, 0};

PyObject* strict(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kStrictParams, args, nargs, kwnames, a)) return nullptr;
    return py::new_ref(a.given(0) ? a[0] : Py_None);
}

// The interned and imported cells: the same object on every call.
PyObject* cells(PyObject*) {
    PyObject *name, *deepcopy, *tuple, *module, *number;
    if (!py::intern<"vesk_probe_name">(name) || !py::imported<"copy", "deepcopy">(deepcopy) ||
        !py::names<"compact", "verbose">(tuple) || !py::imported<"copy">(module) ||
        !py::constant_int<1000>(number))
        return nullptr;
    return Py_BuildValue("(OOOOO)", name, deepcopy, tuple, module, number);
}

// `call_class(cls, *args)`: the native class call of class_call.hpp.
PyObject* call_class(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs < 1 || kwnames) {
        PyErr_SetString(PyExc_TypeError, "call_class(cls, *args) takes positional arguments");
        return nullptr;
    }
    std::vector<PyObject*> stack(args, args + nargs);
    stack[0] = nullptr;  // the free slot in front of the arguments
    return py::call_class(args[0], stack.data(), static_cast<std::size_t>(nargs - 1)).release();
}

PyMethodDef functions[] = {
    py::method<call_class>("call_class"),
    py::method<raise_from>("raise_from"),
    py::method<probe>("probe"),
    py::method<probe_tuple>("probe_tuple"),
    py::method<strict>("strict"),
    py::method<cells>("cells"),
    py::kMethodsEnd,
};

int exec_module(PyObject* module) {
    if (py::add_functions(module, functions) < 0) return -1;
    if (py::add_type(module, thrower_type()) < 0) return -1;
    if (py::add_type(module, holder_type()) < 0) return -1;
    if (register_holds(module) < 0 || register_bases(module) < 0) return -1;
    return register_records(module);
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_native_testhooks", nullptr, 0, nullptr,
    py::module_slots<exec_module>, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace vesk::testhooks

PyMODINIT_FUNC PyInit__native_testhooks(void) {
    return PyModuleDef_Init(&vesk::testhooks::module_def);
}
