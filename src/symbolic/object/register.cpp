#include "symbolic/object/register.hpp"

#include "py/module.hpp"
#include "symbolic/object_bridge.hpp"
#include "symbolic/object/container_fields.hpp"
#include "symbolic/object/ctor_meta.hpp"
#include "symbolic/object/field_getter.hpp"
#include "symbolic/json/json_seams.hpp"
#include "symbolic/object/node_functions.hpp"
#include "symbolic/object/object_state.hpp"
#include "symbolic/object/records/record_functions.hpp"
#include "symbolic/object/records/record_meta.hpp"
#include "symbolic/object/render.hpp"
#include "symbolic/object/seams/seams.hpp"

namespace vesk::symbolic::object {

namespace {

// The object seam functions in binding order, which is their order in the
// module's `__all__`: each line adds one table, whose own functions keep
// their order.
PyMethodDef* const kFunctionTables[] = {
    bridge_functions,           // _install_object_bridge
    render_functions,           // _render_object_fast
    object_seam_functions,      // _native_object_inline_fields .. _native_object_set_item_no_check
    record_functions,           // _slot_record_materialize .. _slot_record_node_read
    node_topology_functions,    // _node_setparent .. _node_seal
    container_field_functions,  // _container_candidate_fields, _container_wrap_fields
    json::object_json_functions,    // _native_inline_object_to_json .. _native_from_json_all_plain
    record_construct_functions, // _slot_record_construct
    object_probe_functions,     // _probe_object_is_inline
    node_probe_functions,       // _probe_node_get, _probe_node_set
};

// The object classes in binding order.
PyTypeObject* (*const kTypes[])() = {
    sym_object_type,
    ctor_meta_type,
    record_meta_type,
    sym_field_getter_type,
};

}  // namespace

int register_module(PyObject* module) {
    for (PyTypeObject* (*type)() : kTypes) {
        if (py::add_type(module, type()) < 0) return -1;
    }
    for (PyMethodDef* table : kFunctionTables) {
        if (py::add_functions(module, table) < 0) return -1;
    }
    return 0;
}

}  // namespace vesk::symbolic::object
