// The JSON form of a schema: its fields (each writing its own form, key
// spec included), name, description, key policy and metadata. The cached
// metadata and the dynamic field are never written; construction derives
// them again when the form is read.
//
// A form read back is untrusted: it is built by construction, whose own
// checks refuse what cannot be built, and the nesting of schemas and fields
// inside each other is bounded. Whatever construction takes (any truthy
// metadata, any item with a `key` and a `value`) reads back as it was written.
#include "typing/schema/schema_ops.hpp"

#include "py/args.hpp"
#include "typing/bridge.hpp"
#include "typing/json_form.hpp"

namespace vesk::typing::schema {

namespace {

constexpr const char kSerializationKey[] = "vesk.typing.Schema";

}  // namespace

py::Params<0> kToJsonParams{"to_json", py::Keywords::Collect};
py::Params<1> kFromJsonParams{"from_json", {"json_value"}, 1, 1, py::Keywords::Collect};

// Held for the whole call: the writer's callbacks may read the schema but
// not change it halfway through.
PyObject* schema_to_json(const Reading& self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    JsonWriter w;
    if (!w.start(kToJsonParams, args, nargs, kwnames, kSerializationKey)) return nullptr;
    const SchemaState& s = *self;
    py::Ref fields = py::Ref::steal(PyDict_Values(s.fields.get()));
    if (!fields || (PyList_GET_SIZE(fields.get()) > 0 && !w.set("fields", fields.get())) ||
        (s.name.get() != Py_None && !w.set("name", s.name.get())) ||
        (s.description.get() != Py_None && !w.set("description", s.description.get())) ||
        (s.allow_nonconst_keys && !w.set_raw("allow_nonconst_keys", Py_True)))
        return nullptr;
    const int has_metadata = PyObject_IsTrue(s.metadata.get());
    if (has_metadata < 0 || (has_metadata && !w.set("metadata", s.metadata.get())))
        return nullptr;
    return w.release();
}

PyObject* schema_from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kFromJsonParams, args, nargs, kwnames, a)) return nullptr;
    PyObject* json_value = a[0];
    JsonNesting nesting;
    if (!nesting.enter("Schema") || !json_check_dict(json_value)) return nullptr;
    const TypingBridge* bridge = typing_bridge();
    py::Ref kwargs = json_kwargs(a.extra());
    if (!bridge || !kwargs) return nullptr;

    py::Ref fields, name, description, metadata, flag;
    const int has_fields = json_field(json_value, "fields", kwargs.get(), fields);
    if (has_fields < 0) return nullptr;
    if (!has_fields && !(fields = py::Ref::steal(PyList_New(0)))) return nullptr;
    if (json_field(json_value, "name", kwargs.get(), name) < 0 ||
        json_field(json_value, "description", kwargs.get(), description) < 0)
        return nullptr;
    SchemaArgs s;
    PyObject* stored = nullptr;
    const int has_flag = PyDict_GetItemStringRef(json_value, "allow_nonconst_keys", &stored);
    flag = py::Ref::steal(stored);
    if (has_flag < 0 ||
        (has_flag && !py::arg_bool("allow_nonconst_keys", flag.get(), s.allow_nonconst_keys)) ||
        json_field(json_value, "metadata", kwargs.get(), metadata) < 0)
        return nullptr;
    PyTypeObject* type = schema_type();
    if (!type) return nullptr;
    s.fields = fields.get();
    s.name = name && name.get() != Py_None ? name.get() : nullptr;
    s.description = description && description.get() != Py_None ? description.get() : nullptr;
    s.metadata = metadata.get();
    return new_schema(type, s).release();
}

}  // namespace vesk::typing::schema
