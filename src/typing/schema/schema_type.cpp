// The Schema class: its cell, cycle collection and the tables that make up
// its Python surface, in the order of the class's members.
#include "typing/schema/schema_ops.hpp"

namespace vesk::typing::schema {

namespace {

py::TypeCell TYPE;

constexpr const char kSerializationKey[] = "vesk.typing.Schema";

// A schema holds field objects whose origin is often the class that holds
// the schema, so class -> schema -> field -> class cycles are common. The
// cached record is counted only while this schema is its sole holder: a
// reader's copy in flight makes the schema look externally held for that
// collection, never counted twice.
int schema_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const SchemaState& s = schema_state(self);
    for (const py::Ref* r : {&s.fields, &s.name, &s.description, &s.metadata, &s.dynamic_field})
        Py_VISIT(r->get());
    if (s.meta && s.meta.use_count() == 1)
        return s.meta->visit([&](PyObject* o) -> int {
            Py_VISIT(o);
            return 0;
        });
    return 0;
}

int schema_clear(PyObject* self) {
    SchemaState& s = schema_state(self);
    SchemaMetaRef dropped = std::move(s.meta);
    for (py::Ref* r : {&s.fields, &s.name, &s.description, &s.metadata, &s.dynamic_field})
        r->reset();
    return 0;
}

// The application members (apply, validate) join this table after
// `extend`.
PyMethodDef kMethods[] = {
    py::class_method<schema_merge>("merge"),
    py::method<schema_extend>("extend"),
    py::method<schema_py_apply>("apply"),
    py::method<schema_py_validate>("validate"),
    py::method<schema_recompute_caches>("_recompute_caches"),
    py::method<schema_open_plan_info>("_open_plan_info"),
    py::method<schema_field_meta_classes>("_field_meta_classes"),
    py::method<schema_funnel_leaf>("_funnel_leaf"),
    py::method<schema_funnel_validate_field>("_funnel_validate_field"),
    py::method<schema_set_name>("set_name"),
    py::method<schema_set_description>("set_description"),
    py::method<schema_get>("get"),
    py::method<schema_get_field>("get_field"),
    py::method<schema_keys>("keys"),
    py::method<schema_values>("values"),
    py::method<schema_items>("items"),
    py::method<schema_is_compatible>("is_compatible"),
    py::method<schema_resolve>("resolve"),
    py::method<schema_format>("format"),
    py::method<schema_copy>("__copy__"),
    py::method<schema_deepcopy>("__deepcopy__"),
    py::method<schema_to_json>("to_json"),
    py::class_method<schema_from_json>("from_json"),
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
                py::slot<Py_tp_traverse, schema_traverse>(),
                py::slot<Py_tp_clear, schema_clear>(),
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
    py::SharedBorrow b(schema_borrow(schema));
    if (!b.acquire()) return nullptr;
    return schema_state(schema).meta;
}

}  // namespace vesk::typing::schema
