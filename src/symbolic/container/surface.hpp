// The Python surface SymDict and SymList share: one method table and one
// getter table over either container, each class adding its own rows after
// them (dict_type.cpp, list_type.cpp).
//
// `K` names a container's own functions for the rows whose behaviour
// differs by kind, and its State:
//
//   struct K {
//       using State = DictState;            // or ListState
//       static constexpr auto use_value_spec = &dict::py_use_value_spec;
//       ... assign_child, formalized_value, set_item_without_permission_check,
//       custom_apply, clone_if_primitive, sym_hasattr, sym_keys, sym_values,
//       sym_items, sym_getattr
//   };
#pragma once

#include "py/methods.hpp"
#include "symbolic/container/properties.hpp"
#include "symbolic/container/topology.hpp"

namespace vesk::symbolic {

template <class K>
inline PyMethodDef kContainerMethods[] = {
    py::method<K::use_value_spec>("use_value_spec"),
    py::method<topo_setparent<typename K::State>>("topo_setparent"),
    py::method<topo_setpath<typename K::State>>("topo_setpath"),
    py::method<update_children_paths<typename K::State>>("_update_children_paths"),
    py::method<sym_seal<typename K::State>>("sym_seal"),
    py::method<K::assign_child>("_assign_child"),
    py::method<K::formalized_value>("_formalized_value"),
    py::method<K::set_item_without_permission_check>("_set_item_without_permission_check"),
    py::method<K::custom_apply>("custom_apply"),
    py::method<K::clone_if_primitive>("_clone_if_primitive"),
    py::method<K::sym_hasattr>("sym_hasattr"),
    py::method<K::sym_keys>("sym_keys"),
    py::method<K::sym_values>("sym_values"),
    py::method<K::sym_items>("sym_items"),
    py::method<K::sym_getattr>("_sym_getattr"),
    py::method<sym_setorigin<typename K::State>>("sym_setorigin"),
    py::kMethodsEnd,
};

template <class S>
inline PyGetSetDef kContainerGetters[] = {
    py::getter<properties::get_topology<S, properties::RefField::Parent>>("topo_parent"),
    py::getter<properties::get_topology<S, properties::RefField::Path>>("topo_path"),
    py::getter<properties::get_bool<S, properties::BoolField::EnableTopo>>("enable_topo"),
    py::getter<properties::get_ref<S, properties::RefField::Parent>,
               properties::set_ref<S, properties::RefField::Parent>>("_topo_parent"),
    py::getter<properties::get_ref<S, properties::RefField::Path>,
               properties::set_ref<S, properties::RefField::Path>>("_topo_path"),
    py::getter<properties::get_bool<S, properties::BoolField::AllowPartial>,
               properties::set_bool<S, properties::BoolField::AllowPartial>>("_allow_partial"),
    py::getter<properties::get_bool<S, properties::BoolField::AccessorWritable>,
               properties::set_bool<S, properties::BoolField::AccessorWritable>>(
        "_accessor_writable"),
    py::getter<properties::get_bool<S, properties::BoolField::Sealed>,
               properties::set_bool<S, properties::BoolField::Sealed>>("_sealed"),
    py::getter<properties::get_ref<S, properties::RefField::Origin>,
               properties::set_ref<S, properties::RefField::Origin>>("_sym_origin"),
    py::getter<properties::get_ref<S, properties::RefField::ValueSpec>,
               properties::set_ref<S, properties::RefField::ValueSpec>>("_value_spec"),
    py::getter<properties::get_bool<S, properties::BoolField::Wrap>,
               properties::set_bool<S, properties::BoolField::Wrap>>("_wrap"),
    py::getter<properties::get_ref<S, properties::RefField::OnChange>,
               properties::set_ref<S, properties::RefField::OnChange>>("_onchange_callback"),
    py::kGettersEnd,
};

}  // namespace vesk::symbolic
