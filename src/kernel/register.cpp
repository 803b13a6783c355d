#include "kernel/register.hpp"

#include "kernel/record/gc.hpp"
#include "kernel/record/heap_type.hpp"
#include "kernel/record/node_functions.hpp"
#include "kernel/tp_slots.hpp"
#include "py/methods.hpp"
#include "py/module.hpp"

namespace vesk::kernel {

namespace {

// The record node-state functions.
PyMethodDef node_functions[] = {
    py::method<record::topology_reserved>(
        "_kernel_topology_reserved",
        "_kernel_topology_reserved($module, /)\n--\n\n"
        "The reserved cell count of a production record."),
    py::method<record::slot_node_get>(
        "_slot_node_get",
        "_slot_node_get($module, /, inst, role)\n--\n\n"
        "The record's node-state role, or None when empty."),
    py::method<record::slot_node_set>(
        "_slot_node_set",
        "_slot_node_set($module, /, inst, role, value=None)\n--\n\n"
        "Stores a node-state role of the record; None empties it."),
    py::method<record::slot_node_set_if_absent>(
        "_slot_node_set_if_absent",
        "_slot_node_set_if_absent($module, /, inst, role, value)\n--\n\n"
        "Stores the value into an empty node-state role; returns the occupant."),
    py::kMethodsEnd,
};

// The record builders and the record layout.
PyMethodDef record_type_functions[] = {
    py::method<record::make_record>(
        "_kernel_make_record",
        "_kernel_make_record($module, /, name, field_names, reserved_count, enable_topo=True)\n"
        "--\n\n"
        "A new record heap type over object."),
    py::method<record::make_record_subtype>(
        "_kernel_make_record_subtype",
        "_kernel_make_record_subtype($module, /, base, name, field_names, reserved_count, "
        "enable_topo=True)\n"
        "--\n\n"
        "A new record heap type over a record type, its cells after the base's."),
    py::method<record::set_record_enable_topo>(
        "_kernel_set_record_enable_topo",
        "_kernel_set_record_enable_topo($module, /, record_type, enable_topo)\n--\n\n"
        "Sets the topology mode of the type's own field descriptors."),
    py::method<record::set_record_field_kinds>(
        "_kernel_set_record_field_kinds",
        "_kernel_set_record_field_kinds($module, /, record_type, non_symbolic_names)\n--\n\n"
        "Marks the named own fields of the type non-symbolic."),
    py::method<record::record_layout>(
        "_kernel_record_layout",
        "_kernel_record_layout($module, /)\n--\n\n"
        "(object basic size, cell size): the constants of the record layout."),
    py::kMethodsEnd,
};

// The traverse probes of record types.
PyMethodDef record_probe_functions[] = {
    py::method<record::probe_short_circuit>(
        "_kernel_probe_short_circuit",
        "_kernel_probe_short_circuit($module, /, obj)\n--\n\n"
        "Runs the type's traverse with a visit that stops at once."),
    py::method<record::probe_traverse_visits>(
        "_kernel_probe_traverse_visits",
        "_kernel_probe_traverse_visits($module, /, obj)\n--\n\n"
        "Counts the visits of the type's traverse."),
    py::kMethodsEnd,
};

}  // namespace

// In binding order: node state, type slots, record types, generic
// attribute access, probes.
int register_module(PyObject* module) {
    if (py::add_functions(module, node_functions) < 0) return -1;
    if (py::add_functions(module, tp_slot_functions) < 0) return -1;
    if (py::add_functions(module, record_type_functions) < 0) return -1;
    if (py::add_functions(module, generic_attribute_functions) < 0) return -1;
    return py::add_functions(module, record_probe_functions);
}

}  // namespace vesk::kernel
