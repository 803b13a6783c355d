#include "typing/register.hpp"

#include "py/methods.hpp"
#include "py/module.hpp"
#include "typing/bridge.hpp"

namespace vesk::typing {

namespace {

// The installer's signature text lists its keyword arguments in slot order.
#define VESK_SIGNATURE_ARG(name) ", " #name
#define VESK_SIGNATURE_SKIP(name)

PyMethodDef functions[] = {
    py::method<install_typing_bridge>(
        "_install_typing_bridge",
        "_install_typing_bridge($module, /, *" VESK_TYPING_BRIDGE_SLOTS(
            VESK_SIGNATURE_ARG, VESK_SIGNATURE_SKIP) ")\n--\n\n"
        "Installs the typing bridge once; later calls change nothing."),
    py::method<install_json_schema_fn>(
        "_install_json_schema_fn",
        "_install_json_schema_fn($module, /, func)\n--\n\n"
        "Installs the function behind to_json_schema once; later calls change nothing."),
    py::method<install_field_from_annotation>(
        "_install_field_from_annotation",
        "_install_field_from_annotation($module, /, func)\n--\n\n"
        "Installs the function behind Field.from_annotation once; later calls change "
        "nothing."),
    py::method<install_symbolic_container_types>(
        "_install_symbolic_container_types",
        "_install_symbolic_container_types($module, /, dict_type, list_type)\n--\n\n"
        "Installs the composed symbolic dict and list classes once; later calls change "
        "nothing."),
    py::kMethodsEnd,
};

#undef VESK_SIGNATURE_ARG
#undef VESK_SIGNATURE_SKIP

}  // namespace

int register_module(PyObject* module) { return py::add_functions(module, functions); }

}  // namespace vesk::typing
