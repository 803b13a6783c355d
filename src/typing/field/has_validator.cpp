#include "typing/field/has_validator.hpp"

#include "py/named.hpp"

namespace vesk::typing::field {

int field_has_validator(PyObject* field) {
    py::Ref validator;
    const int r = py::get_optional_attr<"validator">(field, validator);
    if (r <= 0) return r;
    return validator.get() != Py_None;
}

}  // namespace vesk::typing::field
