#include "symbolic/object/register.hpp"

#include "py/methods.hpp"
#include "py/module.hpp"
#include "symbolic/object/bridge.hpp"
#include "symbolic/object/container_fields.hpp"
#include "symbolic/object/ctor_meta.hpp"
#include "symbolic/object/field_getter.hpp"
#include "symbolic/object/json_seams.hpp"
#include "symbolic/object/node_functions.hpp"
#include "symbolic/object/object_state.hpp"
#include "symbolic/object/record_functions.hpp"
#include "symbolic/object/record_meta.hpp"

namespace vesk::symbolic::object {

namespace {

#define VESK_SIGNATURE_ARG(name) ", " #name

PyMethodDef bridge_functions[] = {
    py::method<install_object_bridge>(
        "_install_object_bridge",
        "_install_object_bridge($module, /, *" VESK_OBJECT_BRIDGE_SLOTS(VESK_SIGNATURE_ARG) ")\n"
        "--\n\n"
        "Installs the object bridge once; later calls change nothing."),
    py::kMethodsEnd,
};

#undef VESK_SIGNATURE_ARG

}  // namespace

int register_module(PyObject* module) {
    if (py::add_type(module, sym_object_type()) < 0) return -1;
    if (py::add_type(module, ctor_meta_type()) < 0) return -1;
    if (py::add_type(module, record_meta_type()) < 0) return -1;
    if (py::add_type(module, sym_field_getter_type()) < 0) return -1;
    // The seam functions, in binding order.
    if (py::add_functions(module, bridge_functions) < 0) return -1;
    if (py::add_functions(module, record_functions) < 0) return -1;
    if (py::add_functions(module, node_topology_functions) < 0) return -1;
    if (py::add_functions(module, container_field_functions) < 0) return -1;
    if (py::add_functions(module, record_construct_functions) < 0) return -1;
    if (py::add_functions(module, object_json_functions) < 0) return -1;
    return py::add_functions(module, node_probe_functions);
}

}  // namespace vesk::symbolic::object
