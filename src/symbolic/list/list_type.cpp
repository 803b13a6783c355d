// The SymList class: its cell and the tables that make up its Python
// surface, in the order of the class's members.
#include "symbolic/list/list_type.hpp"

#include "py/methods.hpp"
#include "py/type.hpp"
#include "symbolic/container/properties.hpp"
#include "symbolic/container/topology.hpp"
#include "symbolic/list/list_ops.hpp"

namespace vesk::symbolic {

namespace {

using S = ListState;
using properties::BoolField;
using properties::RefField;
using properties::get_bool;
using properties::get_ref;
using properties::get_topology;
using properties::set_bool;
using properties::set_ref;

py::TypeCell TYPE;

PyMethodDef kMethods[] = {
    py::method<list::py_use_value_spec>("use_value_spec"),
    py::method<list::py_assign_child>("_assign_child"),
    py::method<list::py_formalized_value>("_formalized_value"),
    py::method<list::clone_if_primitive>("_clone_if_primitive"),
    py::method<list::py_set_item_without_permission_check>("_set_item_without_permission_check"),
    py::method<list::py_delete_and_notify>("delete_and_notify"),
    py::method<list::append>("append"),
    py::method<list::insert>("insert"),
    py::method<list::extend>("extend"),
    py::method<list::pop>("pop"),
    py::method<list::remove>("remove"),
    py::method<list::clear>("clear"),
    py::method<list::sort>("sort"),
    py::method<list::reverse>("reverse"),
    py::method<list::copy>("copy"),
    py::method<list::py_custom_apply>("custom_apply"),
    py::method<list::sym_hasattr>("sym_hasattr"),
    py::method<list::sym_keys>("sym_keys"),
    py::method<list::sym_values>("sym_values"),
    py::method<list::sym_items>("sym_items"),
    py::method<list::sym_getattr>("_sym_getattr"),
    py::method<list::sym_attr_field>("sym_attr_field"),
    py::method<sym_setorigin<S>>("sym_setorigin"),
    py::method<topo_setparent<S>>("topo_setparent"),
    py::method<topo_setpath<S>>("topo_setpath"),
    py::method<update_children_paths<S>>("_update_children_paths"),
    py::method<sym_seal<S>>("sym_seal"),
    py::kMethodsEnd,
};

PyGetSetDef kGetters[] = {
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
    py::getter<get_ref<S, RefField::ValueSpec>, set_ref<S, RefField::ValueSpec>>("_value_spec"),
    py::getter<get_ref<S, RefField::ValueSpec>>("value_spec"),
    py::getter<list::max_size_property>("max_size"),
    py::getter<get_bool<S, BoolField::Wrap>, set_bool<S, BoolField::Wrap>>("_wrap"),
    py::getter<get_ref<S, RefField::OnChange>, set_ref<S, RefField::OnChange>>(
        "_onchange_callback"),
    py::kGettersEnd,
};

}  // namespace

PyTypeObject* sym_list_type() {
    return TYPE.get([](py::TypeDef& t) {
        t.name("vesk_core._native.SymList")
            .doc("SymList(*_args, **_kwargs)\n--\n\n")
            .state<S>()
            .subclassable()
            .slots({
                py::panic_slot<Py_tp_init, list::sym_list_init>(),
                py::panic_slot<Py_tp_iter, list::iter>(),
                py::panic_slot<Py_mp_subscript, list::subscript>(),
                py::panic_slot<Py_mp_ass_subscript, list::ass_subscript>(),
                py::panic_slot<Py_nb_multiply, list::multiply>(),
                py::panic_slot<Py_nb_add, list::add>(),
            })
            .methods(kMethods)
            .getters(kGetters);
    });
}

bool is_sym_list(PyObject* obj) noexcept {
    PyTypeObject* type = TYPE.peek();
    return type && PyObject_TypeCheck(obj, type);
}

}  // namespace vesk::symbolic
