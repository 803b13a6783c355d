#include "symbolic/register.hpp"

#include "py/module.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/classes.hpp"
#include "symbolic/json/walk.hpp"
#include "symbolic/container/pass_log.hpp"
#include "symbolic/object/register.hpp"

namespace vesk::symbolic {

int register_module(PyObject* module) {
    // How the spec engine takes a container for an apply and its element
    // pass.
    install_container_pass();
    // The order is the module's `__all__`: the dictionary, its bridge and
    // the JSON walk, the list and its bridge, then the object registration.
    if (py::add_type(module, sym_dict_type()) < 0) return -1;
    if (py::add_functions(module, container_bridge_functions) < 0) return -1;
    if (py::add_functions(module, json::walk_functions) < 0) return -1;
    if (py::add_type(module, sym_list_type()) < 0) return -1;
    if (py::add_functions(module, list_bridge_functions) < 0) return -1;
    return object::register_module(module);
}

}  // namespace vesk::symbolic
