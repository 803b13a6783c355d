// The Python surface SymDict and SymList share: one method table and one
// getter table over either container, each class adding its own rows after
// them (dict_type.cpp, list_type.cpp).
//
// `K` names a container's own functions for the rows whose behaviour
// differs by kind, the Params of those whose parameters differ too, and its
// State; VESK_CONTAINER_KIND makes it from the namespace that holds them
// under their shared names:
//
//   VESK_CONTAINER_KIND(Kind, dict, DictState);
//
// Every row's docstring is made from the Params its parser reads
// (method_params.hpp, or the kind's own).
#pragma once

#include "py/methods.hpp"
#include "symbolic/container/properties.hpp"
#include "symbolic/container/topology.hpp"
#include "symbolic/method_params.hpp"

namespace vesk::symbolic {

#define VESK_CONTAINER_KIND(Name, ns, S)                                                     \
    struct Name {                                                                          \
        using State = S;                                                                   \
        static constexpr auto use_value_spec = &ns::py_use_value_spec;                     \
        static constexpr auto assign_child = &ns::py_assign_child;                         \
        static constexpr auto& assign_child_params = ns::kAssignChildParams;               \
        static constexpr auto formalized_value = &ns::py_formalized_value;                 \
        static constexpr auto& formalized_value_params = ns::kFormalizedParams;            \
        static constexpr auto set_item_without_permission_check =                          \
            &ns::py_set_item_without_permission_check;                                     \
        static constexpr auto custom_apply = &ns::py_custom_apply;                         \
        static constexpr auto clone_if_primitive = &ns::clone_if_primitive;                \
        static constexpr auto sym_hasattr = &ns::sym_hasattr;                              \
        static constexpr auto sym_keys = &ns::sym_keys;                                    \
        static constexpr auto sym_values = &ns::sym_values;                                \
        static constexpr auto sym_items = &ns::sym_items;                                  \
        static constexpr auto sym_getattr = &ns::sym_getattr;                              \
    }

template <class K>
inline PyMethodDef kContainerMethods[] = {
    py::method<K::use_value_spec>("use_value_spec", kUseValueSpecParams),
    py::one_arg_method<topo_setparent<typename K::State>, kTopoSetParentParams>("topo_setparent"),
    py::one_arg_method<topo_setpath<typename K::State>, kTopoSetPathParams>("topo_setpath"),
    py::method<update_children_paths<typename K::State>>("_update_children_paths",
                                                         kUpdateChildrenPathsParams),
    py::method<sym_seal<typename K::State>>("sym_seal", kSymSealParams),
    py::method<K::assign_child>("_assign_child", K::assign_child_params),
    py::method<K::formalized_value>("_formalized_value", K::formalized_value_params),
    py::method<K::set_item_without_permission_check>("_set_item_without_permission_check",
                                                     kSetItemNoCheckParams),
    py::method<K::custom_apply>("custom_apply", kCustomApplyParams),
    py::method<K::clone_if_primitive>("_clone_if_primitive", kCloneIfPrimitiveParams),
    py::one_arg_method<K::sym_hasattr, kSymHasattrParams>("sym_hasattr"),
    py::method<K::sym_keys>("sym_keys", kSymKeysParams),
    py::method<K::sym_values>("sym_values", kSymValuesParams),
    py::method<K::sym_items>("sym_items", kSymItemsParams),
    py::one_arg_method<K::sym_getattr, kSymGetattrParams>("_sym_getattr"),
    py::method<sym_setorigin<typename K::State>>("sym_setorigin", kSymSetOriginParams),
    py::kMethodsEnd,
};

template <class S>
inline PyGetSetDef kContainerGetters[] = {
    py::read_only<properties::get_topology<S, properties::RefField::Parent>>("topo_parent"),
    py::read_only<properties::get_topology<S, properties::RefField::Path>>("topo_path"),
    py::read_only<properties::get_bool<S, properties::BoolField::EnableTopo>>("enable_topo"),
    py::getter<properties::get_ref<S, properties::RefField::Parent>,
               properties::set_ref<S, properties::RefField::Parent>>("_topo_parent"),
    py::getter<properties::get_ref<S, properties::RefField::Path>,
               properties::set_ref<S, properties::RefField::Path>>("_topo_path"),
    py::getter<properties::get_bool<S, properties::BoolField::AllowPartial>,
               properties::set_checked_bool<S, properties::BoolField::AllowPartial>>("_allow_partial"),
    py::getter<properties::get_bool<S, properties::BoolField::AccessorWritable>,
               properties::set_checked_bool<S, properties::BoolField::AccessorWritable>>(
        "_accessor_writable"),
    py::getter<properties::get_bool<S, properties::BoolField::Sealed>,
               properties::set_checked_bool<S, properties::BoolField::Sealed>>("_sealed"),
    py::getter<properties::get_ref<S, properties::RefField::Origin>,
               properties::set_ref<S, properties::RefField::Origin>>("_sym_origin"),
    py::getter<properties::get_ref<S, properties::RefField::ValueSpec>,
               properties::set_value_spec<S>>("_value_spec"),
    py::getter<properties::get_bool<S, properties::BoolField::Wrap>,
               properties::set_bool<S, properties::BoolField::Wrap>>("_wrap"),
    py::getter<properties::get_ref<S, properties::RefField::OnChange>,
               properties::set_ref<S, properties::RefField::OnChange>>("_onchange_callback"),
    py::kGettersEnd,
};

}  // namespace vesk::symbolic
