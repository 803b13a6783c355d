#include "symbolic/object/records/tp_slots.hpp"

#include "kernel/record/inferential.hpp"
#include "kernel/record/slots.hpp"
#include "py/args.hpp"
#include "py/entry.hpp"
#include "py/hold.hpp"
#include "py/methods.hpp"
#include "py/named.hpp"
#include "symbolic/object/class_facts.hpp"
#include "symbolic/object/construct/construct.hpp"
#include "symbolic/object/object_state.hpp"
#include "symbolic/object/records/record_init.hpp"

#include <cstring>

namespace vesk::kernel {

namespace {

using symbolic::object::ObjectState;

// --- trampolines ----------------------------------------------------------------

using InitBody = int (*)(PyObject*, PyObject*, PyObject*);
using GetattroBody = PyObject* (*)(PyObject*, PyObject*);

// The instance and the arguments are held for the whole call: the body may
// run Python code that drops the caller's references. The slot's entry
// (py::panic_entry) reports an internal failure as "panic in native slot";
// anything else, the borrow refusal of a read or write that met another
// thread's included, reaches the caller as the body raised it.
template <InitBody Body>
int init_trampoline(PyObject* self, PyObject* args, PyObject* kwargs) {
    py::Ref held_self = py::Ref::borrow(self);
    py::Ref held_args = py::Ref::borrow(args);
    py::Ref held_kwargs = py::Ref::borrow(kwargs);
    return Body(self, args, kwargs) == 0 ? 0 : -1;
}

template <GetattroBody Body>
PyObject* getattro_trampoline(PyObject* obj, PyObject* name) {
    py::Ref held_obj = py::Ref::borrow(obj);
    py::Ref held_name = py::Ref::borrow(name);
    return Body(obj, name);
}

// --- getattro bodies ------------------------------------------------------------

// The generic lookup, then the package's inferential attributes: a missing
// attribute that `sym_hasattr` claims (when the class's `attr_read` option
// is on) is `sym_inferred(name)`.
PyObject* generic_getattro(PyObject* obj, PyObject* name) {
    if (PyObject* found = PyObject_GenericGetAttr(obj, name)) return found;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    py::Ref lookup_error = py::Ref::steal(PyErr_GetRaisedException());
    auto reraise = [&] {
        PyErr_SetRaisedException(lookup_error.release());
        return nullptr;
    };
    py::Ref options = py::get_attr<"__sym_options__">(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    if (!options) return nullptr;
    py::Ref attr_read = py::get_attr<"attr_read">(options.get());
    if (!attr_read) return nullptr;
    const int reads = PyObject_IsTrue(attr_read.get());
    if (reads <= 0) return reads < 0 ? nullptr : reraise();
    py::Ref has = py::call_method<"sym_hasattr">(obj, name);
    if (!has) return nullptr;
    const int claimed = PyObject_IsTrue(has.get());
    if (claimed <= 0) return claimed < 0 ? nullptr : reraise();
    return py::call_method<"sym_inferred">(obj, name).release();
}

// The field dictionary first: a field name is answered with one lookup;
// any other name (and a blank object) takes the generic road.
PyObject* fast_getattro(PyObject* obj, PyObject* name) {
    py::Ref fields;
    {
        py::Shared<ObjectState> held(obj);
        if (!held) return nullptr;
        fields = held->fields;
    }
    if (!fields) return generic_getattro(obj, name);
    PyObject* hit = nullptr;
    if (PyDict_GetItemRef(fields.get(), name, &hit) < 0) return nullptr;
    py::Ref value = py::Ref::steal(hit);
    if (!value) return generic_getattro(obj, name);
    if (!record::type_defines_infer(Py_TYPE(value.get()))) return value.release();
    const int topo = symbolic::object::enable_topo_of(obj);
    if (topo < 0) return nullptr;
    if (!topo) return record::raise_contextual_attribute_error(obj, name);
    return py::call_method<"infer">(value.get()).release();
}

// A record field is read through its descriptor directly; anything else
// takes the generic road.
PyObject* record_getattro(PyObject* obj, PyObject* name) {
    py::Ref descr = py::Ref::steal(_PyType_LookupRef(Py_TYPE(obj), name));
    if (descr) {
        py::Ref value;
        const int read = record::read_field_descriptor(obj, descr.get(), value);
        if (read != 0) return read > 0 ? value.release() : nullptr;
    }
    return generic_getattro(obj, name);
}

// --- the five slot functions ------------------------------------------------------

constexpr initproc kObjectInit = py::panic_entry<&init_trampoline<symbolic::object::native_init>>;
constexpr initproc kRecordInit = py::panic_entry<&init_trampoline<symbolic::object::record_init>>;
constexpr getattrofunc kGenericGetattro = py::panic_entry<&getattro_trampoline<generic_getattro>>;
constexpr getattrofunc kFastGetattro = py::panic_entry<&getattro_trampoline<fast_getattro>>;
constexpr getattrofunc kRecordGetattro = py::panic_entry<&getattro_trampoline<record_getattro>>;

// --- installers and probes ----------------------------------------------------------

PyTypeObject* arg_type(PyObject* cls) {
    if (PyType_Check(cls)) return reinterpret_cast<PyTypeObject*>(cls);
    py::raise_arg_type("cls", "a type", cls);
    return nullptr;
}

// The parameters of the functions that take one class.
py::Params kProbeLayoutParams{"_kernel_probe_type_layout", {"cls"}, 1, 1};
py::Params kRoundtripParams{"_kernel_roundtrip_tp_init", {"cls"}, 1, 1};
py::Params kInstallInitParams{"_install_native_tp_init", {"cls"}, 1, 1};
py::Params kInstallRecordInitParams{"_install_native_record_tp_init", {"cls"}, 1, 1};
py::Params kInstallGetattroParams{"_install_native_tp_getattro", {"cls"}, 1, 1};
py::Params kInstallFastParams{"_install_native_tp_getattro_fast", {"cls"}, 1, 1};
py::Params kInstallRecordGetattroParams{"_install_native_record_tp_getattro", {"cls"}, 1, 1};
py::Params kIsNativeParams{"_kernel_tp_getattro_is_native", {"cls"}, 1, 1};
py::Params kIsFastParams{"_kernel_tp_getattro_is_fast", {"cls"}, 1, 1};

// The one class argument of a call.
PyTypeObject* parse_cls(py::Params<1>& params, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    py::Args<1> a;
    return py::parse(params, args, nargs, kwnames, a) ? arg_type(a[0]) : nullptr;
}

// A class the package may change: a type, and not an immutable one.
PyTypeObject* installable(py::Params<1>& params, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    PyTypeObject* type = parse_cls(params, args, nargs, kwnames);
    if (type && PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE)) {
        PyErr_Format(PyExc_TypeError, "cannot install a native slot on the immutable type '%s'",
                     type->tp_name);
        return nullptr;
    }
    return type;
}

// The interpreter's generic allocation under another name. A call site
// that keeps calling a class whose `__new__` is object's, whose allocation
// is the generic one and whose `__init__` is a simple Python function is
// specialised into an allocation followed by a direct call of that
// `__init__`, which would bypass the native tp_init for good; this
// allocation does the same work but is not the generic one by identity.
PyObject* init_guarded_alloc(PyTypeObject* type, Py_ssize_t nitems) {
    return PyType_GenericAlloc(type, nitems);
}
constexpr allocfunc kInitGuardedAlloc = py::entry<&init_guarded_alloc>;

template <initproc Slot, py::Params<1>& P>
PyObject* install_init(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyTypeObject* type = installable(P, args, nargs, kwnames);
    if (!type) return nullptr;
    type->tp_init = Slot;
    if (type->tp_alloc == PyType_GenericAlloc) type->tp_alloc = kInitGuardedAlloc;
    // Call sites specialised before the installation guard on the type's
    // version: a new version sends them back to the generic call.
    PyType_Modified(type);
    return py::none();
}

template <getattrofunc Slot, py::Params<1>& P>
PyObject* install_getattro(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    PyTypeObject* type = installable(P, args, nargs, kwnames);
    if (!type) return nullptr;
    if constexpr (Slot == kFastGetattro) {
        PyTypeObject* base = symbolic::object::sym_object_type();
        if (!base) return nullptr;
        if (!PyType_IsSubtype(type, base)) {
            PyErr_Format(PyExc_TypeError,
                         "the fast native getattro reads symbolic objects: '%s' is not a "
                         "SymObject subclass",
                         type->tp_name);
            return nullptr;
        }
    }
    type->tp_getattro = Slot;
    PyType_Modified(type);
    return py::none();
}

PyObject* roundtrip_tp_init(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    PyTypeObject* type = parse_cls(kRoundtripParams, args, nargs, kwnames);
    return type ? py::boolean(type->tp_init != nullptr) : nullptr;
}

PyObject* tp_getattro_is_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    PyTypeObject* type = parse_cls(kIsFastParams, args, nargs, kwnames);
    return type ? py::boolean(type->tp_getattro == kFastGetattro) : nullptr;
}

PyObject* tp_getattro_is_native(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    PyTypeObject* type = parse_cls(kIsNativeParams, args, nargs, kwnames);
    return type ? py::boolean(type->tp_getattro == kFastGetattro ||
                              type->tp_getattro == kGenericGetattro)
                : nullptr;
}

PyObject* probe_type_layout(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    PyTypeObject* type = parse_cls(kProbeLayoutParams, args, nargs, kwnames);
    if (!type) return nullptr;
    const char* raw = type->tp_name;
    py::Ref name = py::Ref::steal(
        PyUnicode_DecodeUTF8(raw, static_cast<Py_ssize_t>(std::strlen(raw)), "replace"));
    if (!name) return nullptr;
    return Py_BuildValue("(nnO)", type->tp_basicsize, type->tp_dictoffset, name.get());
}

// --- generic attribute functions ------------------------------------------------------

py::Params kIsInferentialParams{"_kernel_is_inferential", {"value"}, 1, 1};

PyObject* is_inferential(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kIsInferentialParams, args, nargs, kwnames, a)) return nullptr;
    return py::boolean(record::type_defines_infer(Py_TYPE(a[0])));
}

py::Params kGetattrParams{"_kernel_generic_getattr", {"obj", "name"}, 2, 2};
py::Params kSetattrParams{"_kernel_generic_setattr", {"obj", "name", "value"}, 3, 3};
py::Params kDelattrParams{"_kernel_generic_delattr", {"obj", "name"}, 2, 2};

PyObject* generic_getattr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kGetattrParams, args, nargs, kwnames, a)) return nullptr;
    return PyObject_GenericGetAttr(a[0], a[1]);
}

PyObject* generic_setattr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<3> a;
    if (!py::parse(kSetattrParams, args, nargs, kwnames, a)) return nullptr;
    return PyObject_GenericSetAttr(a[0], a[1], a[2]) < 0 ? nullptr : py::none();
}

PyObject* generic_delattr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kDelattrParams, args, nargs, kwnames, a)) return nullptr;
    return PyObject_GenericSetAttr(a[0], a[1], nullptr) < 0 ? nullptr : py::none();
}

}  // namespace

PyMethodDef tp_slot_functions[] = {
    py::function<probe_type_layout>(
        kProbeLayoutParams, "(basic size, dict offset, name) of a class."),
    py::function<roundtrip_tp_init>(kRoundtripParams, "Whether the class's tp_init slot is set."),
    py::function<install_init<kObjectInit, kInstallInitParams>>(
        kInstallInitParams, "Installs the native construction of symbolic objects as the class's "
                            "tp_init."),
    py::function<install_init<kRecordInit, kInstallRecordInitParams>>(
        kInstallRecordInitParams, "Installs the native construction of records as the class's "
                                  "tp_init."),
    py::function<install_getattro<kGenericGetattro, kInstallGetattroParams>>(
        kInstallGetattroParams, "Installs the generic native attribute read, with inferential "
                                "attributes."),
    py::function<install_getattro<kFastGetattro, kInstallFastParams>>(
        kInstallFastParams, "Installs the native attribute read that answers fields from the field "
                            "dictionary."),
    py::function<install_getattro<kRecordGetattro, kInstallRecordGetattroParams>>(
        kInstallRecordGetattroParams, "Installs the native attribute read that answers record "
                                      "fields from their cells."),
    py::function<tp_getattro_is_native>(
        kIsNativeParams,
        "Whether the class carries the generic or the fast native attribute read."),
    py::function<tp_getattro_is_fast>(
        kIsFastParams, "Whether the class carries the fast native attribute read."),
    py::kMethodsEnd,
};

PyMethodDef generic_attribute_functions[] = {
    py::function<is_inferential>(
        kIsInferentialParams, "Whether the value's class defines `infer`."),
    py::function<generic_getattr>(kGetattrParams, "The interpreter's generic attribute read."),
    py::function<generic_setattr>(
        kSetattrParams, "The interpreter's generic attribute store; None is stored."),
    py::function<generic_delattr>(kDelattrParams, "The interpreter's generic attribute delete."),
    py::kMethodsEnd,
};

}  // namespace vesk::kernel
