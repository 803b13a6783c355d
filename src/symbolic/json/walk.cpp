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
#include "symbolic/classes.hpp"
#include "symbolic/json/plan_walk.hpp"
#include "symbolic/json/step.hpp"
#include "symbolic/json/wire.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/object/object_state.hpp"
#include "symbolic/object/record_node.hpp"
#include "typing/field/field.hpp"
#include "typing/schema/schema.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"
#include "typing/value_spec/kinds.hpp"

namespace vesk::symbolic::json {

namespace {

namespace record = kernel::record;
namespace schema = typing::schema;

// The package's own base `sym_jsonify`: an object whose class carries
// exactly this function serialises the way the walk does.
py::ObjectCell DEFAULT_OBJECT_HOOK;

// The native `frozen` of a spec whose class keeps the base class's getter;
// NotNative when only the attribute read can tell.
typing::NativeAnswer native_spec_frozen(PyObject* spec) {
    using typing::NativeAnswer;
    PyTypeObject* type = Py_TYPE(spec);
    PyObject* name;
    if (!typing::is_spec(spec) || type->tp_getattro != PyObject_GenericGetAttr ||
        !py::intern<"frozen">(name)) {
        PyErr_Clear();
        return NativeAnswer::NotNative;
    }
    py::Ref own = py::Ref::steal(_PyType_LookupRef(type, name));
    py::Ref base = py::Ref::steal(_PyType_LookupRef(typing::spec_base_type_if_built(), name));
    if (!own || own.get() != base.get()) return NativeAnswer::NotNative;
    typing::SpecRead held(spec);
    if (!held) return NativeAnswer::Error;
    return held->frozen ? NativeAnswer::Yes : NativeAnswer::No;
}

// The truth of `field.frozen`: 1, 0, or -1 with an exception set. A native
// Field answers its value spec's flag, read natively when that spec is a
// native one: the walk asks this of every field it emits.
int truth_of_frozen(PyObject* field) {
    using typing::NativeAnswer;
    if (typing::field::is_field(field)) {  // the class is final
        py::Ref spec = typing::field::field_value_spec(field);
        if (!spec) return -1;
        switch (native_spec_frozen(spec.get())) {
            case NativeAnswer::Error: return -1;
            case NativeAnswer::No: return 0;
            case NativeAnswer::Yes: return 1;
            case NativeAnswer::NotNative: break;
        }
    }
    py::Ref frozen = py::get_attr<"frozen">(field);
    return frozen ? PyObject_IsTrue(frozen.get()) : -1;
}

// Whether an object or record may be spoken for: its tree is enabled and
// its class keeps the package's default hook (compared, never called).
Step object_gate(PyObject* v) {
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

// The dict a filling writes into: an object's form, led by its "_type"
// head (`type_head`), or a dictionary's, which has none.
struct Form {
    PyObject* dict;
    bool headed;
};

class Walker {
public:
    [[nodiscard]] Step value(PyObject* v, py::Ref& out);

private:
    [[nodiscard]] Step node(PyObject* v, py::Ref& out);
    [[nodiscard]] Step object_road(PyObject* obj, py::Ref& out);
    [[nodiscard]] Step record_road(PyObject* inst, py::Ref& out);
    [[nodiscard]] Step list_road(PyObject* list, py::Ref& out);
    [[nodiscard]] Step form(PyObject* d, PyObject* schema, py::Ref& head, bool headed,
                            py::Ref& out);

    [[nodiscard]] Step fill(PyObject* d, PyObject* schema, const Form& out);
    [[nodiscard]] Step fill_plain(PyObject* d, const Form& out);
    [[nodiscard]] Step fill_const(PyObject* d, PyObject* entries, const Form& out);
    [[nodiscard]] Step fill_pattern(PyObject* d, PyObject* schema, const Form& out);
    [[nodiscard]] Step fill_open(PyObject* d, const schema::OpenSchemaPlan& plan,
                                 const Form& out);
    [[nodiscard]] Step fill_rest(PyObject* d, const Form& out);
    [[nodiscard]] Step emit_const(PyObject* d, PyObject* key, PyObject* field, const Form& out,
                                 Py_ssize_t& present);
    [[nodiscard]] Step store(const Form& out, PyObject* key, PyObject* v);

    [[nodiscard]] bool is_missing(PyObject* v) const noexcept {
        return Py_TYPE(v) == missing_type_;
    }

    struct Fields;

    PyTypeObject* missing_type_ = nullptr;  // known once a schema is met
};

Step Walker::value(PyObject* v, py::Ref& out) {
    if (is_wire_primitive(v)) {
        out = py::Ref::borrow(v);
        return kDone;
    }
    const int inferential = is_inferential(v);
    if (inferential != 0) return inferential < 0 ? kError : kDecline;
    // A container may hold itself (a reference assignment, a raw storage
    // write): every level counts against the interpreter's stack guard.
    if (Py_EnterRecursiveCall(" while walking a symbolic tree to JSON")) return kError;
    const Step r = node(v, out);
    Py_LeaveRecursiveCall();
    return r;
}

Step Walker::node(PyObject* v, py::Ref& out) {
    if (object::is_sym_object(v)) return object_road(v, out);
    if (is_sym_dict(v)) {
        py::Ref schema;
        py::Ref head = py::Ref::steal(PyDict_New());
        if (!head || dict::bound_schema(v, schema) < 0) return kError;
        return form(v, schema.get(), head, false, out);
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

Step Walker::form(PyObject* d, PyObject* schema, py::Ref& head, bool headed, py::Ref& out) {
    const Step r = fill(d, schema, Form{head.get(), headed});
    if (r == kDone) out = std::move(head);
    return r;
}

Step Walker::object_road(PyObject* obj, py::Ref& out) {
    const Step gate = object_gate(obj);
    if (gate != kDone) return gate;
    py::Ref head = type_head(obj);
    py::Ref fields;
    if (!head || !object::inline_storage(obj, fields)) return kError;
    py::Ref schema;
    if (fields) {
        schema = py::get_attr<"__schema__">(py::class_of(obj));
        if (!schema) return kError;
        return form(fields.get(), schema.get(), head, true, out);
    }
    py::Ref view = py::get_attr<"_sym_attributes">(obj);
    if (!view || !view_with_schema(view, schema)) return kError;
    return form(view.get(), schema.get(), head, true, out);
}

Step Walker::record_road(PyObject* inst, py::Ref& out) {
    const Step gate = object_gate(inst);
    if (gate != kDone) return gate;
    // Only a record the kernel built has cells to read.
    if (!record::is_record(inst)) return kDecline;
    py::Ref view;
    if (!record::read_view(inst, view)) return kError;
    py::Ref schema;
    if (view) {
        py::Ref head = type_head(inst);
        if (!head) return kError;
        view = py::get_attr<"_sym_attributes">(inst);
        if (!view || !view_with_schema(view, schema)) return kError;
        return form(view.get(), schema.get(), head, true, out);
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
    py::Ref head = type_head(inst);
    if (!head) return kError;
    py::Ref fields = record::read_fields(inst, names.get());
    if (!fields || !(schema = py::get_attr<"__schema__">(py::class_of(inst)))) return kError;
    return form(fields.get(), schema.get(), head, true, out);
}

Step Walker::list_road(PyObject* list, py::Ref& out) {
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
        const Step r = value(item.get(), walked);
        if (r != kDone) return r;
        if (PyList_Append(result.get(), walked.get()) < 0) return kError;
    }
    out = std::move(result);
    return kDone;
}

// An object's form declines a key that could replace or repeat its head, a
// dictionary's one that could pass for a marker, before the value is
// walked.
Step Walker::store(const Form& out, PyObject* key, PyObject* v) {
    if (out.headed ? takes_head_place(key) : !is_plain_key(key)) return kDecline;
    return store_value(out.dict, key, v,
                       [this](PyObject* x, py::Ref& walked) { return value(x, walked); });
}

Step Walker::fill(PyObject* d, PyObject* schema, const Form& out) {
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

Step Walker::fill_plain(PyObject* d, const Form& out) {
    py::DictCursor cursor(d);
    py::Ref key, v;
    for (;;) {
        const int more = cursor.next(key, v);
        if (more <= 0) return more < 0 ? kError : kDone;
        if (is_marker_like(key.get())) return kDecline;
        const Step r = store(out, key.get(), v.get());
        if (r != kDone) return r;
    }
}

Step Walker::emit_const(PyObject* d, PyObject* key, PyObject* field, const Form& out,
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

Step Walker::fill_const(PyObject* d, PyObject* entries, const Form& out) {
    Py_ssize_t present = 0;
    auto each = [&](PyObject* entry) -> Step {
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
            const Step r = each(entry.get());
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
            const Step r = each(entry.get());
            if (r != kDone) return r;
        }
    }
    // A key the schema does not name would be lost from the form; only the
    // package can place it.
    const Py_ssize_t size = PyDict_Size(d);
    if (size < 0) return kError;
    return size == present ? kDone : kDecline;
}

Step Walker::fill_pattern(PyObject* d, PyObject* schema, const Form& out) {
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
    return fill_rest(d, out);
}

// What the plan walk (plan_walk.hpp) makes of a field dictionary here: each
// value walked into `out`, missing values left out, a frozen field's value
// too, and the other entries only while the wildcard field is not frozen.
struct Walker::Fields {
    Walker& walker;
    PyObject* d;
    const Form& out;
    Py_ssize_t present = 0;

    Step constant(PyObject* key, PyObject* field) {
        return walker.emit_const(d, key, field, out, present);
    }
    int takes_rest(PyObject* wildcard_field) {
        const int frozen = truth_of_frozen(wildcard_field);
        return frozen < 0 ? -1 : !frozen;
    }
    Step entry(PyObject* key, PyObject* v) {
        if (walker.is_missing(v)) return kDone;
        return walker.store(out, key, v);
    }
};

Step Walker::fill_rest(PyObject* d, const Form& out) {
    Fields fields{*this, d, out};
    return walk_rest(d, nullptr, fields);
}

Step Walker::fill_open(PyObject* d, const schema::OpenSchemaPlan& plan, const Form& out) {
    Fields fields{*this, d, out};
    return walk_open(d, plan, fields);
}

}  // namespace

PyObject* native_to_json_walk(PyObject*, PyObject* value) {
    Walker walker;
    py::Ref out;
    const Step r = walker.value(value, out);
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
