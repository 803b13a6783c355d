// The Schema class: its cell and the tables that make up its Python
// surface, in the order of the class's members. Its cycle-collector hooks
// are generated from SchemaState's `visit`.
#include "typing/schema/schema_ops.hpp"

#include "py/signature.hpp"

namespace vesk::typing::schema {

namespace {

py::TypeCell TYPE;

constexpr const char kSerializationKey[] = "vesk.typing.Schema";

// The application members (apply, validate) join this table after
// `extend`.
PyMethodDef kMethods[] = {
    py::class_method<schema_merge>("merge", schema_merge_doc()),
    py::method<schema_extend>("extend", py::signature_doc("extend", "base, /")),
    py::method<schema_py_apply>("apply", schema_apply_doc()),
    py::method<schema_py_validate>("validate", schema_validate_doc()),
    py::method<schema_recompute_caches>("_recompute_caches",
                                        py::signature_doc("_recompute_caches")),
    py::method<schema_open_plan_info>("_open_plan_info", py::signature_doc("_open_plan_info")),
    py::method<schema_field_meta_classes>("_field_meta_classes",
                                          py::signature_doc("_field_meta_classes")),
    py::method<schema_funnel_leaf>("_funnel_leaf", schema_funnel_leaf_doc()),
    py::method<schema_funnel_validate_field>("_funnel_validate_field",
                                             schema_funnel_validate_field_doc()),
    py::method<schema_set_name>("set_name", py::signature_doc("set_name", "name, /")),
    py::method<schema_set_description>("set_description",
                                       py::signature_doc("set_description", "description, /")),
    py::method<schema_get>("get", schema_get_doc()),
    py::method<schema_get_field>("get_field", py::signature_doc("get_field", "key, /")),
    py::method<schema_keys>("keys", py::signature_doc("keys")),
    py::method<schema_values>("values", py::signature_doc("values")),
    py::method<schema_items>("items", py::signature_doc("items")),
    py::method<schema_is_compatible>("is_compatible",
                                     py::signature_doc("is_compatible", "other, /")),
    py::method<schema_resolve>("resolve", py::signature_doc("resolve", "keys, /")),
    py::method<schema_format>("format", schema_format_doc()),
    py::method<schema_copy>("__copy__", py::signature_doc("__copy__")),
    py::method<schema_deepcopy>("__deepcopy__", schema_deepcopy_doc()),
    py::method<schema_to_json>("to_json", schema_to_json_doc()),
    py::class_method<schema_from_json>("from_json", schema_from_json_doc()),
    py::kMethodsEnd,
};

PyGetSetDef kGetters[] = {
    py::getter<schema_get_name>("name"),
    py::getter<schema_get_description>("description"),
    py::getter<schema_get_allow_nonconst_keys>("allow_nonconst_keys"),
    py::getter<schema_get_fields>("fields"),
    py::getter<schema_get_metadata>("metadata"),
    py::getter<schema_get_dynamic_field>("dynamic_field"),
    py::getter<schema_get_fields>("_fields"),
    py::getter<schema_get_allow_nonconst_keys>("_allow_nonconst_keys"),
    py::getter<schema_get_has_nonconst_keys>("_has_nonconst_keys"),
    py::getter<schema_get_has_const_keys>("_has_const_keys"),
    py::getter<schema_get_const_apply_fields>("_const_apply_fields"),
    py::getter<schema_get_const_bulk_check>("_const_bulk_check"),
    py::kGettersEnd,
};

}  // namespace

PyTypeObject* schema_type() {
    return TYPE.get([](py::TypeDef& t) {
        t.name("vesk_core._native.Schema")
            .doc("The ordered fields of a dictionary or of a symbolic class.")
            .state<SchemaState>()
            .subclassable()
            .slots({
                py::slot<Py_tp_new, schema_new>(),
                py::slot<Py_mp_subscript, schema_getitem>(),
                py::slot<Py_sq_contains, schema_contains>(),
                py::slot<Py_tp_str, schema_str>(),
                py::slot<Py_tp_repr, schema_repr>(),
                py::slot<Py_tp_richcompare, schema_richcompare>(),
            })
            .methods(kMethods)
            .getters(kGetters)
            .class_attr("__vesk_formattable__", Py_True)
            .class_attr("__serialization_key__", kSerializationKey);
    });
}

bool is_schema(PyObject* obj) noexcept {
    PyTypeObject* type = TYPE.peek();
    return type && PyObject_TypeCheck(obj, type);
}

SchemaMetaRef schema_meta(PyObject* schema) {
    Reading s(schema);
    return s ? s->meta.get() : nullptr;
}

}  // namespace vesk::typing::schema
