#include "symbolic/json/walk.hpp"

#include "kernel/record/slots.hpp"
#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/dict_cursor.hpp"
#include "py/hold.hpp"
#include "py/methods.hpp"
#include "py/named.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/dict/dict_ops.hpp"
#include "symbolic/dict/dict_type.hpp"
#include "symbolic/json/wire.hpp"
#include "symbolic/list/list_type.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/object/object_state.hpp"
#include "symbolic/object/record_node.hpp"
#include "typing/field/field.hpp"
#include "typing/schema/schema.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"

namespace vesk::symbolic::json {

namespace {

namespace record = kernel::record;
namespace schema = typing::schema;

// The package's own base `sym_jsonify`: an object whose class carries
// exactly this function serialises the way the walk does.
py::ObjectCell DEFAULT_OBJECT_HOOK;

// What one step of the walk answers.
enum Step : int { kError = -1, kDecline = 0, kDone = 1 };

// The native `frozen` of a spec whose class keeps the base class's getter,
// or -2 when only the attribute read can tell.
int native_spec_frozen(PyObject* spec) {
    PyTypeObject* type = Py_TYPE(spec);
    PyObject* name;
    if (!typing::is_spec(spec) || type->tp_getattro != PyObject_GenericGetAttr ||
        !py::intern<"frozen">(name)) {
        PyErr_Clear();
        return -2;
    }
    py::Ref own = py::Ref::steal(_PyType_LookupRef(type, name));
    py::Ref base = py::Ref::steal(_PyType_LookupRef(typing::spec_base_type_if_built(), name));
    if (!own || own.get() != base.get()) return -2;
    typing::SpecRead held(spec);
    if (!held) return kError;
    return held->frozen ? 1 : 0;
}

// The truth of `field.frozen`. A native Field answers its value spec's
// flag, read natively when that spec is a native one: the walk asks this of
// every field it emits.
int truth_of_frozen(PyObject* field) {
    if (typing::field::is_field(field)) {  // the class is final
        py::Ref spec = typing::field::field_value_spec(field);
        if (!spec) return kError;
        const int frozen = native_spec_frozen(spec.get());
        if (frozen != -2) return frozen;
    }
    py::Ref frozen = py::get_attr<"frozen">(field);
    return frozen ? PyObject_IsTrue(frozen.get()) : kError;
}

// Whether an object or record may be spoken for: its tree is enabled and
// its class keeps the package's default hook (compared, never called).
int object_gate(PyObject* v) {
    py::Ref flag = py::get_attr<"enable_topo">(v);
    bool enabled = false;
    if (!flag || !py::arg_bool_scalar("enable_topo", flag.get(), enabled)) return kError;
    PyObject* hook = DEFAULT_OBJECT_HOOK.get();
    if (!enabled || !hook) return kDecline;
    PyObject* name;
    if (!py::intern<"sym_jsonify">(name)) return kError;
    py::Ref own = py::Ref::steal(_PyType_LookupRef(Py_TYPE(v), name));
    return own.get() == hook ? kDone : kDecline;
}

// A new dict holding only "_type": the class's serialisation key.
py::Ref object_head(PyObject* v) {
    py::Ref key = py::get_attr<"__serialization_key__">(py::class_of(v));
    PyObject* type_key;
    if (!key || !py::intern<"_type">(type_key)) return {};
    py::Ref out = py::Ref::steal(PyDict_New());
    if (!out || PyDict_SetItem(out.get(), type_key, key.get()) < 0) return {};
    return out;
}

// `__slot_field_names__` as a new list of str.
py::Ref str_list(PyObject* names) {
    if (PyUnicode_Check(names)) {
        py::raise_not_instance(names, "list");
        return {};
    }
    py::Ref list = py::Ref::steal(PySequence_List(names));
    if (!list) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        if (!PyUnicode_Check(PyList_GET_ITEM(list.get(), i))) {
            py::raise_not_instance(PyList_GET_ITEM(list.get(), i), "str");
            return {};
        }
    }
    return list;
}

// A view read by name must be a SymDict; its bound schema in `schema`.
bool view_with_schema(py::Ref& view, py::Ref& schema) {
    PyTypeObject* type = sym_dict_type();
    return type && py::expect_instance(view.get(), type) &&
           dict::bound_schema(view.get(), schema) == 0;
}

class Walker {
public:
    [[nodiscard]] int value(PyObject* v, py::Ref& out);

private:
    [[nodiscard]] int node(PyObject* v, py::Ref& out);
    [[nodiscard]] int object_road(PyObject* obj, py::Ref& out);
    [[nodiscard]] int record_road(PyObject* inst, py::Ref& out);
    [[nodiscard]] int list_road(PyObject* list, py::Ref& out);
    [[nodiscard]] int form(PyObject* d, PyObject* schema, py::Ref& head, py::Ref& out);

    [[nodiscard]] int fill(PyObject* d, PyObject* schema, PyObject* out);
    [[nodiscard]] int fill_plain(PyObject* d, PyObject* out);
    [[nodiscard]] int fill_const(PyObject* d, PyObject* entries, PyObject* out);
    [[nodiscard]] int fill_pattern(PyObject* d, PyObject* schema, PyObject* out);
    [[nodiscard]] int fill_open(PyObject* d, const schema::OpenSchemaPlan& plan, PyObject* out);
    [[nodiscard]] int fill_rest(PyObject* d, const schema::OpenSchemaPlan* plan, PyObject* out);
    [[nodiscard]] int emit_const(PyObject* d, PyObject* key, PyObject* field, PyObject* out,
                                 Py_ssize_t& present);
    [[nodiscard]] int store(PyObject* out, PyObject* key, PyObject* v);

    [[nodiscard]] bool is_missing(PyObject* v) const noexcept {
        return Py_TYPE(v) == missing_type_;
    }

    PyTypeObject* missing_type_ = nullptr;  // known once a schema is met
};

int Walker::value(PyObject* v, py::Ref& out) {
    if (is_wire_primitive(v)) {
        out = py::Ref::borrow(v);
        return kDone;
    }
    const int inferential = is_inferential(v);
    if (inferential != 0) return inferential < 0 ? kError : kDecline;
    // A container may hold itself (a reference assignment, a raw storage
    // write): every level counts against the interpreter's stack guard.
    if (Py_EnterRecursiveCall(" while walking a symbolic tree to JSON")) return kError;
    const int r = node(v, out);
    Py_LeaveRecursiveCall();
    return r;
}

int Walker::node(PyObject* v, py::Ref& out) {
    if (object::is_sym_object(v)) return object_road(v, out);
    if (is_sym_dict(v)) {
        py::Ref schema;
        py::Ref head = py::Ref::steal(PyDict_New());
        if (!head || dict::bound_schema(v, schema) < 0) return kError;
        return form(v, schema.get(), head, out);
    }
    if (is_sym_list(v)) return list_road(v, out);
    // Plain containers need the package's reference handling.
    PyTypeObject* type = Py_TYPE(v);
    if (type == &PyDict_Type || type == &PyList_Type || type == &PyTuple_Type ||
        type == &PyBytes_Type)
        return kDecline;
    py::Ref storage;
    if (py::get_optional_attr<"__slot_storage__">(py::class_of(v), storage) < 0) return kError;
    if (!storage) return kDecline;
    const int inline_slots = PyObject_IsTrue(storage.get());
    if (inline_slots <= 0) return inline_slots < 0 ? kError : kDecline;
    return record_road(v, out);
}

int Walker::form(PyObject* d, PyObject* schema, py::Ref& head, py::Ref& out) {
    const int r = fill(d, schema, head.get());
    if (r == kDone) out = std::move(head);
    return r;
}

int Walker::object_road(PyObject* obj, py::Ref& out) {
    const int gate = object_gate(obj);
    if (gate != kDone) return gate;
    py::Ref head = object_head(obj);
    py::Ref fields;
    if (!head || !object::inline_storage(obj, fields)) return kError;
    py::Ref schema;
    if (fields) {
        schema = py::get_attr<"__schema__">(py::class_of(obj));
        if (!schema) return kError;
        return form(fields.get(), schema.get(), head, out);
    }
    py::Ref view = py::get_attr<"_sym_attributes">(obj);
    if (!view || !view_with_schema(view, schema)) return kError;
    return form(view.get(), schema.get(), head, out);
}

int Walker::record_road(PyObject* inst, py::Ref& out) {
    const int gate = object_gate(inst);
    if (gate != kDone) return gate;
    // Only a record the kernel built has cells to read.
    if (!record::is_record(inst)) return kDecline;
    py::Ref view;
    if (!record::read_view(inst, view)) return kError;
    py::Ref schema;
    if (view) {
        py::Ref head = object_head(inst);
        if (!head) return kError;
        view = py::get_attr<"_sym_attributes">(inst);
        if (!view || !view_with_schema(view, schema)) return kError;
        return form(view.get(), schema.get(), head, out);
    }
    py::Ref names = py::get_attr<"__slot_field_names__">(py::class_of(inst));
    if (!names || !(names = str_list(names.get()))) return kError;
    int blank;
    if (PyList_GET_SIZE(names.get()) > 0) {
        const int written = record::field_written(inst, PyList_GET_ITEM(names.get(), 0));
        blank = written < 0 ? -1 : (written == 0 ? 1 : 0);
    } else {
        blank = object::record_is_blank(inst);
    }
    if (blank != 0) return blank < 0 ? kError : kDecline;
    py::Ref head = object_head(inst);
    if (!head) return kError;
    py::Ref fields = record::read_fields(inst, names.get());
    if (!fields || !(schema = py::get_attr<"__schema__">(py::class_of(inst)))) return kError;
    return form(fields.get(), schema.get(), head, out);
}

int Walker::list_road(PyObject* list, py::Ref& out) {
    Py_ssize_t length;
    {
        py::CriticalSection guard(list);
        length = PyList_GET_SIZE(list);
    }
    py::Ref result = py::Ref::steal(PyList_New(0));
    if (!result) return kError;
    for (Py_ssize_t i = 0; i < length; ++i) {
        py::Ref item = py::list_item(list, i);
        if (!item) break;  // the list shrank meanwhile
        // The package reads a list led by a marker as something else.
        if (i == 0 && is_marker_like(item.get())) return kDecline;
        py::Ref walked;
        const int r = value(item.get(), walked);
        if (r != kDone) return r;
        if (PyList_Append(result.get(), walked.get()) < 0) return kError;
    }
    out = std::move(result);
    return kDone;
}

int Walker::store(PyObject* out, PyObject* key, PyObject* v) {
    py::Ref walked;
    const int r = value(v, walked);
    if (r != kDone) return r;
    return PyDict_SetItem(out, key, walked.get()) < 0 ? kError : kDone;
}

int Walker::fill(PyObject* d, PyObject* schema, PyObject* out) {
    if (!schema || schema == Py_None) return fill_plain(d, out);
    if (!missing_type_) {
        const ContainerBridge* bridge = container_bridge();
        if (!bridge) return kError;
        missing_type_ = Py_TYPE(bridge->missing_value.get());
    }
    if (schema::is_schema(schema) && Py_TYPE(schema) == schema::schema_type()) {
        // The native schema's own record: the same facts its getters give.
        schema::SchemaMetaRef meta = schema::schema_meta(schema);
        if (!meta) return kError;
        if (!meta->has_nonconst)
            return meta->const_apply_fields ? fill_const(d, meta->const_apply_fields.get(), out)
                                            : kDecline;
        if (!meta->has_const) return fill_pattern(d, schema, out);
        return meta->open_plan ? fill_open(d, *meta->open_plan, out) : kDecline;
    }
    py::Ref entries = py::get_attr<"_const_apply_fields">(schema);
    py::Ref flag = entries ? py::get_attr<"_has_nonconst_keys">(schema) : py::Ref();
    bool nonconst = false;
    if (!flag || !py::arg_bool_scalar("_has_nonconst_keys", flag.get(), nonconst)) return kError;
    if (!nonconst) return entries.get() == Py_None ? kDecline : fill_const(d, entries.get(), out);
    if (!schema::is_schema(schema)) return kDecline;
    flag = py::get_attr<"_has_const_keys">(schema);
    bool has_const = false;
    if (!flag || !py::arg_bool_scalar("_has_const_keys", flag.get(), has_const)) return kError;
    if (!has_const) return fill_pattern(d, schema, out);
    schema::SchemaMetaRef meta = schema::schema_meta(schema);
    if (!meta) return kError;
    return meta->open_plan ? fill_open(d, *meta->open_plan, out) : kDecline;
}

int Walker::fill_plain(PyObject* d, PyObject* out) {
    py::DictCursor cursor(d);
    py::Ref key, v;
    for (;;) {
        const int more = cursor.next(key, v);
        if (more <= 0) return more < 0 ? kError : kDone;
        if (is_marker_like(key.get())) return kDecline;
        const int r = store(out, key.get(), v.get());
        if (r != kDone) return r;
    }
}

int Walker::emit_const(PyObject* d, PyObject* key, PyObject* field, PyObject* out,
                       Py_ssize_t& present) {
    // The package escapes a key its format would misread; the walk cannot.
    if (is_marker_like(key)) return kDecline;
    const int frozen = truth_of_frozen(field);
    if (frozen < 0) return kError;
    PyObject* raw = nullptr;
    const int found = PyDict_GetItemRef(d, key, &raw);
    py::Ref v = py::Ref::steal(raw);
    if (found <= 0) return found < 0 ? kError : kDone;
    ++present;
    if (frozen || is_missing(v.get())) return kDone;
    return store(out, key, v.get());
}

int Walker::fill_const(PyObject* d, PyObject* entries, PyObject* out) {
    Py_ssize_t present = 0;
    auto each = [&](PyObject* entry) -> int {
        if (!PyTuple_Check(entry)) {
            py::raise_not_instance(entry, "tuple");
            return kError;
        }
        if (PyTuple_GET_SIZE(entry) < 2) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return kError;
        }
        return emit_const(d, PyTuple_GET_ITEM(entry, 0), PyTuple_GET_ITEM(entry, 1), out,
                          present);
    };
    if (PyList_CheckExact(entries)) {
        for (Py_ssize_t i = 0;; ++i) {
            py::Ref entry = py::list_item(entries, i);
            if (!entry) break;
            const int r = each(entry.get());
            if (r != kDone) return r;
        }
    } else {
        py::Ref it = py::Ref::steal(PyObject_GetIter(entries));
        if (!it) return kError;
        for (;;) {
            PyObject* raw = nullptr;
            const int more = PyIter_NextItem(it.get(), &raw);
            py::Ref entry = py::Ref::steal(raw);
            if (more <= 0) {
                if (more < 0) return kError;
                break;
            }
            const int r = each(entry.get());
            if (r != kDone) return r;
        }
    }
    // A key the schema does not name would be lost from the form; only the
    // package can place it.
    const Py_ssize_t size = PyDict_Size(d);
    if (size < 0) return kError;
    return size == present ? kDone : kDecline;
}

int Walker::fill_pattern(PyObject* d, PyObject* schema, PyObject* out) {
    Py_ssize_t count;
    {
        py::Shared<schema::SchemaState> held(schema);
        if (!held) return kError;
        count = PyDict_Size(held->fields.get());
    }
    if (count != 1) return kDecline;
    py::Ref fields = py::call_method<"values">(schema);
    py::Ref it = fields ? py::Ref::steal(PyObject_GetIter(fields.get())) : py::Ref();
    if (!it) return kError;
    for (;;) {
        PyObject* raw = nullptr;
        const int more = PyIter_NextItem(it.get(), &raw);
        py::Ref field = py::Ref::steal(raw);
        if (more <= 0) {
            if (more < 0) return kError;
            break;
        }
        const int frozen = truth_of_frozen(field.get());
        if (frozen != 0) return frozen < 0 ? kError : kDecline;
    }
    return fill_rest(d, nullptr, out);
}

// The entries of `d` that no constant key of `plan` names, in storage
// order, missing values left out.
int Walker::fill_rest(PyObject* d, const schema::OpenSchemaPlan* plan, PyObject* out) {
    py::DictCursor cursor(d);
    py::Ref key, v;
    for (;;) {
        const int more = cursor.next(key, v);
        if (more <= 0) return more < 0 ? kError : kDone;
        if (plan && schema::key_in_plan_consts(plan->index, key.get())) continue;
        if (is_marker_like(key.get())) return kDecline;
        if (is_missing(v.get())) continue;
        const int r = store(out, key.get(), v.get());
        if (r != kDone) return r;
    }
}

int Walker::fill_open(PyObject* d, const schema::OpenSchemaPlan& plan, PyObject* out) {
    {
        py::CriticalSection guard(d);
        PyObject* key;
        PyObject* v;
        Py_ssize_t pos = 0;
        while (PyDict_Next(d, &pos, &key, &v))
            if (!PyUnicode_Check(key)) return kDecline;
    }
    Py_ssize_t present = 0;
    const std::size_t n = plan.const_fields.size();
    const std::size_t split = plan.wildcard_pos < n ? plan.wildcard_pos : n;
    for (std::size_t i = 0; i < split; ++i) {
        const int r = emit_const(d, plan.const_entries[i].first.get(), plan.const_fields[i].get(),
                                 out, present);
        if (r != kDone) return r;
    }
    const int frozen = truth_of_frozen(plan.wildcard_field.get());
    if (frozen < 0) return kError;
    if (!frozen) {
        const int r = fill_rest(d, &plan, out);
        if (r != kDone) return r;
    }
    for (std::size_t i = split; i < n; ++i) {
        const int r = emit_const(d, plan.const_entries[i].first.get(), plan.const_fields[i].get(),
                                 out, present);
        if (r != kDone) return r;
    }
    return kDone;
}

}  // namespace

PyObject* native_to_json_walk(PyObject*, PyObject* value) {
    Walker walker;
    py::Ref out;
    const int r = walker.value(value, out);
    if (r < 0) return nullptr;
    return r == kDone ? out.release() : py::none();
}

PyObject* set_default_object_sym_jsonify(PyObject*, PyObject* func) {
    (void)DEFAULT_OBJECT_HOOK.set(py::Ref::borrow(func));
    return py::none();
}

py::Params kWalkParams{"_native_to_json_walk", {"value"}, 1, 1};
py::Params kDefaultHookParams{"_set_default_object_sym_jsonify", {"func"}, 1, 1};

PyMethodDef walk_functions[] = {
    py::function<native_to_json_walk>(kWalkParams,
                                      "The JSON form of a symbolic tree, or None where the "
                                      "package's serializer must decide."),
    py::function<set_default_object_sym_jsonify>(
        kDefaultHookParams,
        "Records the package's default object `sym_jsonify` once; later calls change nothing."),
    py::kMethodsEnd,
};

}  // namespace vesk::symbolic::json
