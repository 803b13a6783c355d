// The SymDict class: its cell and the tables that make up its Python
// surface, in the order of the class's members.
#include "symbolic/dict/dict_type.hpp"

#include "py/methods.hpp"
#include "py/type.hpp"
#include "symbolic/container/properties.hpp"
#include "symbolic/container/topology.hpp"
#include "symbolic/dict/dict_ops.hpp"

namespace vesk::symbolic {

namespace {

using S = DictState;
using properties::BoolField;
using properties::RefField;
using properties::get_bool;
using properties::get_ref;
using properties::get_topology;
using properties::set_bool;
using properties::set_ref;

py::TypeCell TYPE;

PyMethodDef kMethods[] = {
    py::method<dict::py_use_value_spec>("use_value_spec"),
    py::method<dict::py_try_fused>("try_fused_schemaful_construct"),
    py::method<dict::py_try_single_pass>("try_single_pass_schemaful_construct"),
    py::method<topo_setparent<S>>("topo_setparent"),
    py::method<topo_setpath<S>>("topo_setpath"),
    py::method<update_children_paths<S>>("_update_children_paths"),
    py::method<sym_seal<S>>("sym_seal"),
    py::method<topo_parent_for_children>("_topo_parent_for_children"),
    py::method<dict::py_assign_child>("_assign_child"),
    py::method<dict::py_formalized_value>("_formalized_value"),
    py::method<dict::py_formalized_value_with_assign>("_formalized_value_with_assign"),
    py::method<dict::py_set_item_without_permission_check>("_set_item_without_permission_check"),
    py::method<dict::py_custom_apply>("custom_apply"),
    py::method<dict::clone_if_primitive>("_clone_if_primitive"),
    py::method<dict::sym_hasattr>("sym_hasattr"),
    py::method<dict::sym_keys>("sym_keys"),
    py::method<dict::sym_values>("sym_values"),
    py::method<dict::sym_items>("sym_items"),
    py::method<dict::get>("get"),
    py::method<dict::sym_getattr>("_sym_getattr"),
    py::method<sym_setorigin<S>>("sym_setorigin"),
    py::kMethodsEnd,
};

PyGetSetDef kGetters[] = {
    py::getter<get_ref<S, RefField::ValueSpec>, set_ref<S, RefField::ValueSpec>>("_value_spec"),
    py::getter<get_bool<S, BoolField::AsObjectAttributes>,
               set_bool<S, BoolField::AsObjectAttributes>>("_as_object_attributes_container"),
    py::getter<get_bool<S, BoolField::Wrap>, set_bool<S, BoolField::Wrap>>("_wrap"),
    py::getter<get_ref<S, RefField::OnChange>, set_ref<S, RefField::OnChange>>(
        "_onchange_callback"),
    py::getter<get_topology<S, RefField::Parent>>("topo_parent"),
    py::getter<get_topology<S, RefField::Path>>("topo_path"),
    py::getter<get_bool<S, BoolField::EnableTopo>>("enable_topo"),
    py::getter<get_ref<S, RefField::Parent>, set_ref<S, RefField::Parent>>("_topo_parent"),
    py::getter<get_ref<S, RefField::Path>, set_ref<S, RefField::Path>>("_topo_path"),
    py::getter<get_bool<S, BoolField::AllowPartial>, set_bool<S, BoolField::AllowPartial>>(
        "_allow_partial"),
    py::getter<get_bool<S, BoolField::AccessorWritable>,
               set_bool<S, BoolField::AccessorWritable>>("_accessor_writable"),
    py::getter<get_bool<S, BoolField::Sealed>, set_bool<S, BoolField::Sealed>>("_sealed"),
    py::getter<get_ref<S, RefField::Origin>, set_ref<S, RefField::Origin>>("_sym_origin"),
    py::kGettersEnd,
};

}  // namespace

PyTypeObject* sym_dict_type() {
    return TYPE.get([](py::TypeDef& t) {
        t.name("vesk_core._native.SymDict")
            .doc("SymDict(*_args, **_kwargs)\n--\n\n")
            .state<S>()
            .subclassable()
            .slots({
                py::panic_slot<Py_tp_init, dict::sym_dict_init>(),
                py::panic_slot<Py_mp_subscript, dict::subscript>(),
                py::panic_slot<Py_mp_ass_subscript, dict::ass_subscript>(),
                py::panic_slot<Py_tp_getattro, dict::getattro>(),
            })
            .methods(kMethods)
            .getters(kGetters);
    });
}

bool is_sym_dict(PyObject* obj) noexcept {
    PyTypeObject* type = TYPE.peek();
    return type && PyObject_TypeCheck(obj, type);
}

}  // namespace vesk::symbolic
