// The SymDict class: its cell and its Python surface: the rows it shares
// with SymList (container/surface.hpp), then its own.
#include "symbolic/dict/dict_type.hpp"

#include "py/methods.hpp"
#include "py/type.hpp"
#include "symbolic/container/surface.hpp"
#include "symbolic/dict/dict_ops.hpp"

namespace vesk::symbolic {

namespace {

using S = DictState;

py::TypeCell TYPE;

// The dictionary's own rows of the shared tables.
struct Kind {
    using State = S;
    static constexpr auto use_value_spec = &dict::py_use_value_spec;
    static constexpr auto assign_child = &dict::py_assign_child;
    static constexpr auto formalized_value = &dict::py_formalized_value;
    static constexpr auto set_item_without_permission_check =
        &dict::py_set_item_without_permission_check;
    static constexpr auto custom_apply = &dict::py_custom_apply;
    static constexpr auto clone_if_primitive = &dict::clone_if_primitive;
    static constexpr auto sym_hasattr = &dict::sym_hasattr;
    static constexpr auto sym_keys = &dict::sym_keys;
    static constexpr auto sym_values = &dict::sym_values;
    static constexpr auto sym_items = &dict::sym_items;
    static constexpr auto sym_getattr = &dict::sym_getattr;
};

PyMethodDef kOwnMethods[] = {
    py::method<dict::py_try_fused>("try_fused_schemaful_construct"),
    py::method<dict::py_try_single_pass>("try_single_pass_schemaful_construct"),
    py::method<topo_parent_for_children>("_topo_parent_for_children"),
    py::method<dict::py_formalized_value_with_assign>("_formalized_value_with_assign"),
    py::method<dict::get>("get"),
    py::kMethodsEnd,
};

PyGetSetDef kOwnGetters[] = {
    py::getter<properties::get_bool<S, properties::BoolField::AsObjectAttributes>,
               properties::set_bool<S, properties::BoolField::AsObjectAttributes>>(
        "_as_object_attributes_container"),
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
            .methods({kContainerMethods<Kind>, kOwnMethods})
            .getters({kContainerGetters<S>, kOwnGetters});
    });
}

bool is_sym_dict(PyObject* obj) noexcept {
    PyTypeObject* type = TYPE.peek();
    return type && PyObject_TypeCheck(obj, type);
}

}  // namespace vesk::symbolic
