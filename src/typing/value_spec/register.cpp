#include "typing/value_spec/register.hpp"

#include "py/module.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"

namespace vesk::typing::value_spec {

int register_module(PyObject* module) {
    // The module order of the classes: SpecBase, Bool, Str, Int, Float, Enum,
    // Any, List, Tuple, Union, Object, Type, Field, Schema, Dict, Callable,
    // Functor. Each class that exists binds here, in that order.
    PyTypeObject* const classes[] = {
        spec_base_type(),
    };
    for (PyTypeObject* cls : classes)
        if (py::add_type(module, cls) < 0) return -1;
    return 0;
}

}  // namespace vesk::typing::value_spec
