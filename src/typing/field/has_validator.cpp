#include "typing/field/has_validator.hpp"

#include "py/lazy.hpp"

namespace vesk::typing::field {

int field_has_validator(PyObject* field) {
    PyObject* name = py::intern<"validator">();
    if (!name) return -1;
    PyObject* found = nullptr;
    const int r = PyObject_GetOptionalAttr(field, name, &found);
    py::Ref validator = py::Ref::steal(found);
    if (r <= 0) return r;
    return validator.get() != Py_None;
}

}  // namespace vesk::typing::field
