#include "typing/markers.hpp"

#include "hooks.hpp"
#include "py/named.hpp"

namespace vesk::typing {

// With the plain `type` metaclass nothing but the class's MRO can supply the
// name, and the type's attribute cache answers without running Python code;
// another metaclass may supply or refuse it, so the lookup goes through it.
int class_has_attr(PyObject* value, PyObject* name) {
    PyTypeObject* cls = Py_TYPE(value);
    if (Py_IS_TYPE(reinterpret_cast<PyObject*>(cls), &PyType_Type)) {
        py::Ref found = py::Ref::steal(_PyType_LookupRef(cls, name));
        return found ? 1 : 0;
    }
    PyObject* found = nullptr;
    const int r = PyObject_GetOptionalAttr(reinterpret_cast<PyObject*>(cls), name, &found);
    py::Ref keep = py::Ref::steal(found);
    return r;
}

int is_custom_typing(PyObject* value) { return has_class_marker<"__vesk_custom_typing__">(value); }

int is_maybe_partial(PyObject* value) { return has_class_marker<"__vesk_maybe_partial__">(value); }

int is_copy_if_default(PyObject* value) {
    return has_class_marker<"__vesk_copy_if_default__">(value);
}

int read_sym_partial(PyObject* value) {
    if (hooks::SymPartialFn* hook = hooks::SYM_PARTIAL_HOOK.get()) {
        switch (hook(value)) {
            case hooks::Partial::Error: return -1;
            case hooks::Partial::No: return 0;
            case hooks::Partial::Yes: return 1;
            case hooks::Partial::Declined: break;
        }
    }
    py::Ref flag = py::get_attr<"sym_partial">(value);
    if (!flag) return -1;
    return PyObject_IsTrue(flag.get());
}

bool spec_storage(PyObject* spec, bool fallback) noexcept {
    py::Ref found;
    if (py::get_optional_attr<"symbolic">(spec, found) < 0) {
        PyErr_Clear();
        return fallback;
    }
    if (found.get() == Py_True) return true;
    if (found.get() == Py_False) return false;
    return fallback;  // absent, None, or not a bool
}

}  // namespace vesk::typing
