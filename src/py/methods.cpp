#include "py/methods.hpp"

namespace vesk::py::detail {

namespace {

// The class whose own properties hold the read-only property `closure`: the
// native classes lie on the chain of base classes, whatever Python classes
// derive from them.
PyTypeObject* defining_class(PyTypeObject* type, void* closure) noexcept {
    for (PyTypeObject* t = type; t; t = t->tp_base) {
        for (const PyGetSetDef* def = t->tp_getset; def && def->name; ++def)
            if (def->set == &refuse_write && def->closure == closure) return t;
    }
    return type;
}

}  // namespace

int refuse_write(PyObject* self, PyObject* value, void* closure) noexcept {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "property has no deleter");
        return -1;
    }
    PyErr_Format(PyExc_AttributeError, "attribute '%s' of '%.100s' objects is not writable",
                 static_cast<const char*>(closure),
                 defining_class(Py_TYPE(self), closure)->tp_name);
    return -1;
}

}  // namespace vesk::py::detail
