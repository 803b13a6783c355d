#include "typing/markers.hpp"

#include "hooks.hpp"
#include "py/lazy.hpp"

namespace vesk::typing {

// With the plain `type` metaclass nothing but the class's MRO can supply the
// name, and the type's attribute cache answers without running Python code;
// another metaclass may supply or refuse it, so the lookup goes through it.
int has_class_marker(PyObject* value, PyObject* name) {
    if (!name) return -1;
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

int is_custom_typing(PyObject* value) { return has_class_marker(value, py::intern<"__vesk_custom_typing__">()); }

int is_maybe_partial(PyObject* value) { return has_class_marker(value, py::intern<"__vesk_maybe_partial__">()); }

int is_copy_if_default(PyObject* value) {
    return has_class_marker(value, py::intern<"__vesk_copy_if_default__">());
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
    PyObject* name = py::intern<"sym_partial">();
    if (!name) return -1;
    py::Ref flag = py::Ref::steal(PyObject_GetAttr(value, name));
    if (!flag) return -1;
    return PyObject_IsTrue(flag.get());
}

bool spec_storage(PyObject* spec, bool fallback) noexcept {
    PyObject* name = py::intern<"symbolic">();
    PyObject* found = nullptr;
    const int r = name ? PyObject_GetOptionalAttr(spec, name, &found) : -1;
    py::Ref keep = py::Ref::steal(found);
    if (r < 0) {
        PyErr_Clear();
        return fallback;
    }
    if (found == Py_True) return true;
    if (found == Py_False) return false;
    return fallback;  // absent, None, or not a bool
}

}  // namespace vesk::typing
