#include "typing/key_specs/register.hpp"

#include "py/module.hpp"
#include "typing/key_specs/key_specs.hpp"

namespace vesk::typing::key_specs {

int register_module(PyObject* module) {
    for (PyTypeObject* (*type)() : {const_str_key_type, str_key_type, list_key_type, tuple_key_type}) {
        PyTypeObject* t = type();
        if (!t || py::add_type(module, t) < 0) return -1;
    }
    return 0;
}

}  // namespace vesk::typing::key_specs
