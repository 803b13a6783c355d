#include "typing/field/register.hpp"

#include "py/module.hpp"
#include "typing/field/field.hpp"

namespace vesk::typing::field {

int register_module(PyObject* module) { return py::add_type(module, field_type()); }

}  // namespace vesk::typing::field
