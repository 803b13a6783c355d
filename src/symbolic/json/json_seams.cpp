#include "symbolic/json/json_seams.hpp"

#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/dict_cursor.hpp"
#include "py/methods.hpp"
#include "py/named.hpp"
#include "symbolic/json/wire.hpp"
#include "symbolic/json/json_copy.hpp"
#include "symbolic/object/object_state.hpp"
#include "typing/schema/schema.hpp"

namespace vesk::symbolic::object {

namespace {

namespace schema = typing::schema;

py::Params kToJsonParams{"_native_inline_object_to_json", {"obj", "plan"}, 2, 2};
py::Params kAllPlainParams{"_native_from_json_all_plain", {"json_value", "raw_safe"}, 2, 2};

// The field dictionary of `obj` and a new dict holding "_type" only; both
// stay empty when `obj` is no SymObject or a blank one. False with an
// exception.
bool json_head(PyObject* obj, py::Ref& fields, py::Ref& json) {
    if (!is_sym_object(obj)) return true;
    if (!inline_storage(obj, fields)) return false;
    if (!fields) return true;
    py::Ref key = py::get_attr<"__serialization_key__">(py::class_of(obj));
    PyObject* type_key;
    if (!key || !py::intern<"_type">(type_key)) return false;
    json = py::Ref::steal(PyDict_New());
    return json && PyDict_SetItem(json.get(), type_key, key.get()) == 0;
}

// The field `key` of `fields` emitted into `json`: kDone, kBail when the
// field is absent or its value does not copy, kError.
int emit_field(JsonCopy& copy, PyObject* fields, PyObject* json, PyObject* key) {
    PyObject* raw = nullptr;
    const int found = PyDict_GetItemRef(fields, key, &raw);
    py::Ref v = py::Ref::steal(raw);
    if (found <= 0) return found < 0 ? JsonCopy::kError : JsonCopy::kBail;
    return copy.emit(json, key, v.get());
}

PyObject* answer(int r, py::Ref& json) {
    if (r == JsonCopy::kError) return nullptr;
    return r == JsonCopy::kDone ? json.release() : py::none();
}

int emit_open(const schema::OpenSchemaPlan& plan, PyObject* fields, PyObject* json) {
    {
        py::CriticalSection guard(fields);
        PyObject* key;
        PyObject* v;
        Py_ssize_t pos = 0;
        while (PyDict_Next(fields, &pos, &key, &v))
            if (!PyUnicode_Check(key)) return JsonCopy::kBail;
    }
    JsonCopy copy;
    const std::size_t n = plan.const_fields.size();
    const std::size_t split = plan.wildcard_pos < n ? plan.wildcard_pos : n;
    for (std::size_t i = 0; i < split; ++i) {
        const int r = emit_field(copy, fields, json, plan.const_entries[i].first.get());
        if (r != JsonCopy::kDone) return r;
    }
    py::DictCursor cursor(fields);
    py::Ref key, v;
    for (;;) {
        const int more = cursor.next(key, v);
        if (more < 0) return JsonCopy::kError;
        if (more == 0) break;
        if (schema::key_in_plan_consts(plan.index, key.get())) continue;
        if (json::is_marker_like(key.get())) return JsonCopy::kBail;
        const int r = copy.emit(json, key.get(), v.get());
        if (r != JsonCopy::kDone) return r;
    }
    for (std::size_t i = split; i < n; ++i) {
        const int r = emit_field(copy, fields, json, plan.const_entries[i].first.get());
        if (r != JsonCopy::kDone) return r;
    }
    return JsonCopy::kDone;
}

}  // namespace

PyObject* native_inline_object_to_json(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kToJsonParams, args, nargs, kwnames, a)) return nullptr;
    py::Ref fields, json;
    if (!json_head(a[0], fields, json)) return nullptr;
    if (!json) return py::none();
    py::Ref it = py::Ref::steal(PyObject_GetIter(a[1]));
    if (!it) return nullptr;
    JsonCopy copy;
    for (;;) {
        PyObject* raw = nullptr;
        const int more = PyIter_NextItem(it.get(), &raw);
        py::Ref key = py::Ref::steal(raw);
        if (more < 0) return nullptr;
        if (more == 0) break;
        const int r = emit_field(copy, fields.get(), json.get(), key.get());
        if (r != JsonCopy::kDone) return answer(r, json);
    }
    return json.release();
}

PyObject* native_inline_object_to_json_open(PyObject*, PyObject* obj) {
    py::Ref cls_schema = py::get_attr<"__schema__">(py::class_of(obj));
    if (!cls_schema) return nullptr;
    if (!schema::is_schema(cls_schema.get())) return py::none();
    schema::SchemaMetaRef meta = schema::schema_meta(cls_schema.get());
    if (!meta) return nullptr;
    if (!meta->open_plan) return py::none();
    py::Ref fields, json;
    if (!json_head(obj, fields, json)) return nullptr;
    if (!json) return py::none();
    // One snapshot of the fields under the dict's lock: the keys checked are
    // the keys emitted.
    py::Ref snapshot = py::Ref::steal(PyDict_Copy(fields.get()));
    if (!snapshot) return nullptr;
    return answer(emit_open(*meta->open_plan, snapshot.get(), json.get()), json);
}

PyObject* native_from_json_all_plain(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kAllPlainParams, args, nargs, kwnames, a)) return nullptr;
    PyObject* json_value = a[0];
    // A subclass may customise iteration or lookup.
    if (!PyDict_CheckExact(json_value)) return py::boolean(false);
    PlainJsonTest test;
    (void)test.first_visit(json_value);
    py::DictCursor cursor(json_value);
    py::Ref key, v;
    for (;;) {
        const int more = cursor.next(key, v);
        if (more < 0) return nullptr;
        if (more == 0) return py::boolean(true);
        const int safe = PySequence_Contains(a[1], key.get());
        if (safe <= 0) return safe < 0 ? nullptr : py::boolean(false);
        const int plain = test.child(v.get());
        if (plain <= 0) return plain < 0 ? nullptr : py::boolean(false);
    }
}


PyMethodDef object_json_functions[] = {
    py::function<native_inline_object_to_json>(
        kToJsonParams, "The JSON form of an object's fields in plan order, or None to decline."),
    py::method<native_inline_object_to_json_open>(
        "_native_inline_object_to_json_open",
        "_native_inline_object_to_json_open($module, obj, /)\n--\n\n"
        "The JSON form of an object of an open schema in its plan's order, or None to "
        "decline."),
    py::function<native_from_json_all_plain>(
        kAllPlainParams, "Whether a JSON dict can be passed to a class unconverted."),
    py::kMethodsEnd,
};

}  // namespace vesk::symbolic::object
