#include "symbolic/json/json_seams.hpp"

#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/dict_cursor.hpp"
#include "py/methods.hpp"
#include "py/named.hpp"
#include "symbolic/json/json_copy.hpp"
#include "symbolic/json/plan_walk.hpp"
#include "symbolic/json/step.hpp"
#include "symbolic/json/wire.hpp"
#include "symbolic/object/object_state.hpp"
#include "typing/schema/schema.hpp"

namespace vesk::symbolic::json {

namespace {

namespace schema = typing::schema;

py::Params kToJsonParams{"_native_inline_object_to_json", {"obj", "plan"}, 2, 2};
py::Params kAllPlainParams{"_native_from_json_all_plain", {"json_value", "raw_safe"}, 2, 2};

// The field dictionary of `obj` and a new dict holding "_type" only; both
// stay empty when `obj` is no SymObject or a blank one. False with an
// exception.
bool json_head(PyObject* obj, py::Ref& fields, py::Ref& json) {
    if (!object::is_sym_object(obj)) return true;
    if (!object::inline_storage(obj, fields)) return false;
    if (!fields) return true;
    json = type_head(obj);
    return static_cast<bool>(json);
}

// `v` emitted under `key` into the object's form `json`: kDone, kDecline
// when the key could replace or repeat the form's "_type" head (a form
// naming another class, or two heads on the wire) or the value does not
// copy, kError.
Step emit_entry(JsonCopy& copy, PyObject* json, PyObject* key, PyObject* v) {
    if (takes_head_place(key)) return kDecline;
    return copy.emit(json, key, v);
}

// The field `key` of `fields` emitted into `json` as `emit_entry` does; an
// absent field declines, and a key the lookup refuses (unhashable) raises.
Step emit_field(JsonCopy& copy, PyObject* fields, PyObject* json, PyObject* key) {
    PyObject* raw = nullptr;
    const int found = PyDict_GetItemRef(fields, key, &raw);
    py::Ref v = py::Ref::steal(raw);
    if (found <= 0) return found < 0 ? kError : kDecline;
    return emit_entry(copy, json, key, v.get());
}

PyObject* answer(Step r, py::Ref& json) {
    if (r == kError) return nullptr;
    return r == kDone ? json.release() : py::none();
}

// What the plan walk (plan_walk.hpp) makes of an object's fields here:
// each value copied (json_copy.hpp) into `json`; an absent constant field
// declines, and the other entries are always taken.
struct Copied {
    JsonCopy& copy;
    PyObject* fields;
    PyObject* json;

    Step constant(PyObject* key, PyObject*) { return emit_field(copy, fields, json, key); }
    int takes_rest(PyObject*) { return 1; }
    Step entry(PyObject* key, PyObject* v) { return emit_entry(copy, json, key, v); }
};

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
        const Step r = emit_field(copy, fields.get(), json.get(), key.get());
        if (r != kDone) return answer(r, json);
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
    JsonCopy copy;
    Copied copied{copy, snapshot.get(), json.get()};
    return answer(walk_open(snapshot.get(), *meta->open_plan, copied), json);
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

}  // namespace vesk::symbolic::json
