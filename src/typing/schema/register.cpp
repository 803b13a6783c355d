#include "typing/schema/register.hpp"

#include "py/module.hpp"
#include "typing/schema/schema.hpp"

namespace vesk::typing::schema {

int register_module(PyObject* module) { return py::add_type(module, schema_type()); }

}  // namespace vesk::typing::schema
