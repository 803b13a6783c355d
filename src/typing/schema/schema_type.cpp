// The Schema class: its cell and the tables that make up its Python
// surface, in the order of the class's members. Its cycle-collector hooks
// are generated from SchemaState's `visit`.
#include "typing/schema/schema_ops.hpp"

#include "py/methods.hpp"

namespace vesk::typing::schema {

namespace {

py::TypeCell TYPE;

constexpr const char kSerializationKey[] = "vesk.typing.Schema";

// The parameters of the members that take one argument or none.
py::Params<1> kExtendParams{"extend", {"base"}, 1, 1};
py::Params<0> kRecomputeCachesParams{"_recompute_caches"};
py::Params<0> kOpenPlanInfoParams{"_open_plan_info"};
py::Params<0> kFieldMetaClassesParams{"_field_meta_classes"};
py::Params<1> kSetNameParams{"set_name", {"name"}, 1, 1};
py::Params<1> kSetDescriptionParams{"set_description", {"description"}, 1, 1};
py::Params<1> kGetFieldParams{"get_field", {"key"}, 1, 1};
py::Params<0> kKeysParams{"keys"};
py::Params<0> kValuesParams{"values"};
py::Params<0> kItemsParams{"items"};
py::Params<1> kIsCompatibleParams{"is_compatible", {"other"}, 1, 1};
py::Params<1> kResolveParams{"resolve", {"keys"}, 1, 1};
py::Params<0> kCopyParams{"__copy__"};

// The application members (apply, validate) join this table after
// `extend`.
PyMethodDef kMethods[] = {
    py::class_method<schema_merge>("merge", kMergeParams),
    py::method<schema_extend>("extend", kExtendParams),
    py::method<schema_py_apply>("apply", kApplyParams),
    py::method<schema_py_validate>("validate", kValidateParams),
    py::method<schema_recompute_caches>("_recompute_caches", kRecomputeCachesParams),
    py::method<schema_open_plan_info>("_open_plan_info", kOpenPlanInfoParams),
    py::method<schema_field_meta_classes>("_field_meta_classes", kFieldMetaClassesParams),
    py::method<schema_funnel_leaf>("_funnel_leaf", kFunnelLeafParams),
    py::method<schema_funnel_validate_field>("_funnel_validate_field", kFunnelValidateParams),
    py::method<schema_set_name>("set_name", kSetNameParams),
    py::method<schema_set_description>("set_description", kSetDescriptionParams),
    py::method<schema_get>("get", kGetParams),
    py::method<schema_get_field>("get_field", kGetFieldParams),
    py::method<schema_keys>("keys", kKeysParams),
    py::method<schema_values>("values", kValuesParams),
    py::method<schema_items>("items", kItemsParams),
    py::method<schema_is_compatible>("is_compatible", kIsCompatibleParams),
    py::method<schema_resolve>("resolve", kResolveParams),
    py::method<schema_format>("format", kFormatParams),
    py::method<schema_copy>("__copy__", kCopyParams),
    py::method<schema_deepcopy>("__deepcopy__", kDeepcopyParams),
    py::method<schema_to_json>("to_json", kToJsonParams),
    py::class_method<schema_from_json>("from_json", kFromJsonParams),
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
