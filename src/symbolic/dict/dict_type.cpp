// The SymDict class: its cell and its Python surface: the rows it shares
// with SymList (container/surface.hpp), then its own.
// A subclass of the built-in dict whose own entries are its storage,
// with the container state of container/state.hpp after it; declared in
// symbolic/classes.hpp.
#include "symbolic/classes.hpp"

#include "py/methods.hpp"
#include "py/type.hpp"
#include "symbolic/container/surface.hpp"
#include "symbolic/dict/dict_ops.hpp"

namespace vesk::symbolic {

namespace {

using S = DictState;

py::TypeCell TYPE;

// Its functions for the rows it shares with the other container class.
VESK_CONTAINER_KIND(Kind, dict, S);

py::Params kParentForChildrenParams{"_topo_parent_for_children"};

PyMethodDef kOwnMethods[] = {
    py::method<dict::py_try_fused>("try_fused_schemaful_construct", dict::kFusedParams),
    py::method<dict::py_try_single_pass>("try_single_pass_schemaful_construct",
                                         dict::kSinglePassParams),
    py::method<topo_parent_for_children>("_topo_parent_for_children", kParentForChildrenParams),
    py::method<dict::py_formalized_value_with_assign>("_formalized_value_with_assign",
                                                      dict::kFormalizedAssignParams),
    py::method<dict::get>("get", dict::kGetParams),
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
                py::panic_slot<Py_tp_vectorcall, dict::sym_dict_vectorcall>(),
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
    return type && PyDict_Check(obj) && instance_of(obj, type);
}

}  // namespace vesk::symbolic
