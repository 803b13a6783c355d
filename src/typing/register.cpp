#include "typing/register.hpp"

#include "py/methods.hpp"
#include "py/module.hpp"
#include "typing/bridge.hpp"

namespace vesk::typing {

namespace {

PyMethodDef functions[] = {
    py::method<install_typing_bridge>(
        "_install_typing_bridge",
        "_install_typing_bridge($module, /, *, missing_value, missing_type, "
        "frozen_placeholder, fast_apply_info_cls, union_cls, to_json, from_json, "
        "callable_eq, value_spec_cls, field_cls, key_spec_cls, object_cls, is_subclass, "
        "is_instance, is_generic, is_typeddict, type_display_name, make_forward_ref, "
        "raw_text_cls, forward_ref_cls, topology_merge, make_field_merge_fn, "
        "register_forward_ref_target, default_without_apply, create_schema, str_key_cls, "
        "functor_cls, callable_validate)\n--\n\n"
        "Installs the typing bridge once; later calls change nothing."),
    py::method<install_json_schema_fn>(
        "_install_json_schema_fn",
        "_install_json_schema_fn($module, /, func)\n--\n\n"
        "Installs the function behind to_json_schema once; later calls change nothing."),
    py::method<install_field_from_annotation>(
        "_install_field_from_annotation",
        "_install_field_from_annotation($module, /, func)\n--\n\n"
        "Installs the function behind Field.from_annotation once; later calls change "
        "nothing."),
    py::method<install_symbolic_container_types>(
        "_install_symbolic_container_types",
        "_install_symbolic_container_types($module, /, dict_type, list_type)\n--\n\n"
        "Installs the composed symbolic dict and list classes once; later calls change "
        "nothing."),
    py::kMethodsEnd,
};

}  // namespace

int register_module(PyObject* module) { return py::add_functions(module, functions); }

}  // namespace vesk::typing
