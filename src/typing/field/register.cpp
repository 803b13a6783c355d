#include "typing/field/register.hpp"

#include "py/module.hpp"
#include "typing/field/field.hpp"

namespace vesk::typing::field {

int register_module(PyObject* module) {
    PyTypeObject* type = field_type();
    return type ? py::add_type(module, type) : -1;
}

}  // namespace vesk::typing::field
