#include "symbolic/register.hpp"

#include "py/methods.hpp"
#include "py/module.hpp"
#include "symbolic/object/bridge.hpp"

namespace vesk::symbolic {

namespace {

#define VESK_SIGNATURE_ARG(name) ", " #name

// The object registration's functions, in binding order.
PyMethodDef object_functions[] = {
    py::method<object::install_object_bridge>(
        "_install_object_bridge",
        "_install_object_bridge($module, /, *" VESK_OBJECT_BRIDGE_SLOTS(VESK_SIGNATURE_ARG) ")\n"
        "--\n\n"
        "Installs the object bridge once; later calls change nothing."),
    py::kMethodsEnd,
};

#undef VESK_SIGNATURE_ARG

}  // namespace

int register_module(PyObject* module) { return py::add_functions(module, object_functions); }

}  // namespace vesk::symbolic
