#include "kernel/register.hpp"

#include "kernel/record/gc.hpp"
#include "kernel/record/heap_type.hpp"
#include "kernel/record/node_functions.hpp"
#include "symbolic/object/records/tp_slots.hpp"
#include "py/methods.hpp"
#include "py/module.hpp"

namespace vesk::kernel {

namespace {

// The record node-state functions.
PyMethodDef node_functions[] = {
    py::function<record::topology_reserved>(record::kTopologyReservedParams,
                                            "The reserved cell count of a production record."),
    py::function<record::slot_node_get>(record::kSlotNodeGetParams,
                                        "The record's node-state role, or None when empty."),
    py::function<record::slot_node_set>(
        record::kSlotNodeSetParams, "Stores a node-state role of the record; None empties it."),
    py::function<record::slot_node_set_if_absent>(
        record::kSlotNodeSetIfAbsentParams,
        "Stores the value into an empty node-state role; returns the occupant."),
    py::kMethodsEnd,
};

// The record builders and the record layout.
PyMethodDef record_type_functions[] = {
    py::function<record::make_record>(record::kMakeRecordParams,
                                      "A new record heap type over object."),
    py::function<record::make_record_subtype>(
        record::kMakeSubtypeParams,
        "A new record heap type over a record type, its cells after the base's."),
    py::function<record::set_record_enable_topo>(
        record::kSetEnableTopoParams,
        "Sets the topology mode of the type's own field descriptors."),
    py::function<record::set_record_field_kinds>(
        record::kSetFieldKindsParams, "Marks the named own fields of the type non-symbolic."),
    py::function<record::record_layout>(
        record::kRecordLayoutParams,
        "(object basic size, cell size): the constants of the record layout."),
    py::kMethodsEnd,
};

// The traverse probes of record types.
PyMethodDef record_probe_functions[] = {
    py::function<record::probe_short_circuit>(
        record::kProbeShortCircuitParams,
        "Runs the type's traverse with a visit that stops at once."),
    py::function<record::probe_traverse_visits>(record::kProbeVisitsParams,
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
