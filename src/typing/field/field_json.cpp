// The JSON form of a Field. Nested values (key spec, value spec, description,
// metadata) go through the package's writer and reader on the typing bridge
// with the caller's keyword arguments; flags are stored as plain bools, the
// alias as it is. The origin, the validator and the assign policy are never
// written; the assign policy is read when present.
//
// A form read back is untrusted: every entry is read in order, then the
// constructor's own checks refuse what cannot be built; the nesting of
// fields and schemas inside each other is bounded.
#include "typing/field/field.hpp"
#include "typing/field/field_ops.hpp"

#include "py/args.hpp"
#include "typing/bridge.hpp"
#include "typing/json_form.hpp"

#include <array>

namespace vesk::typing::field {

namespace {

constexpr const char kSerializationKey[] = "vesk.typing.Field";

struct TriEntry {
    const char* name;
    Tri FieldMembers::* member;
};
// The stated flags, in the order they are written and read.
constexpr std::array<TriEntry, 5> kTriFlags{{
    {"enable_repr", &FieldMembers::enable_repr},
    {"enable_compare", &FieldMembers::enable_compare},
    {"enable_hash", &FieldMembers::enable_hash},
    {"enable_clone", &FieldMembers::enable_clone},
    {"enable_validation", &FieldMembers::enable_validation},
}};

// The stored entry as it is: 1 found, 0 absent, -1 on error.
int raw_entry(PyObject* json_value, const char* name, py::Ref& out) {
    PyObject* found = nullptr;
    const int r = PyDict_GetItemStringRef(json_value, name, &found);
    out = py::Ref::steal(found);
    return r;
}

// A flag entry: absent leaves `out`; present must be True or False.
bool read_tri(PyObject* json_value, const char* name, Tri& out) {
    py::Ref stored;
    const int r = raw_entry(json_value, name, stored);
    if (r <= 0) return r == 0;
    bool b = false;
    if (!py::arg_bool(name, stored.get(), b)) return false;
    out = b ? Tri::True : Tri::False;
    return true;
}

// A required nested entry, rebuilt by the bridge's reader.
bool read_required(PyObject* json_value, const char* name, PyObject* kwargs, const char* message,
                   py::Ref& out) {
    const int r = json_field(json_value, name, kwargs, out);
    if (r == 0) PyErr_SetString(PyExc_ValueError, message);
    return r > 0;
}

}  // namespace

py::Params<0> kToJsonParams{"to_json", py::Keywords::Collect};
py::Params<1> kFromJsonParams{"from_json", {"json_value"}, 1, 1, py::Keywords::Collect};

// Held for the whole call: the writer's callbacks may read the field but not
// change it halfway through.
PyObject* field_to_json(const Reading& self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    JsonWriter w;
    if (!w.start(kToJsonParams, args, nargs, kwnames, kSerializationKey)) return nullptr;
    const FieldMembers& s = *self;
    if (!w.set("key_spec", s.key.get()) || !w.set("value_spec", s.value.get()) ||
        (s.description.get() != Py_None && !w.set("description", s.description.get())))
        return nullptr;
    const int has_metadata = PyObject_IsTrue(s.metadata.get());
    if (has_metadata < 0 || (has_metadata && !w.set("metadata", s.metadata.get())))
        return nullptr;
    for (std::size_t i = 0; i < kTriFlags.size(); ++i) {
        // "enable_init" is written between the first three flags and the
        // last two, and only when it is False (True is the default).
        if (i == 3 && !s.enable_init && !w.set_raw("enable_init", Py_False)) return nullptr;
        const Tri t = s.*kTriFlags[i].member;
        if (t != Tri::Unset && !w.set_raw(kTriFlags[i].name, t == Tri::True ? Py_True : Py_False))
            return nullptr;
    }
    if (s.alias.get() != Py_None && !w.set_raw("alias", s.alias.get())) return nullptr;
    return w.release();
}

PyObject* field_from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kFromJsonParams, args, nargs, kwnames, a)) return nullptr;
    PyObject* json_value = a[0];
    JsonNesting nesting;
    if (!nesting.enter("Field") || !json_check_dict(json_value)) return nullptr;
    const TypingBridge* bridge = typing_bridge();
    py::Ref kwargs = json_kwargs(a.extra());
    if (!bridge || !kwargs) return nullptr;

    py::Ref key, value, description, metadata, assign, alias;
    if (!read_required(json_value, "key_spec", kwargs.get(), "Field json missing 'key_spec'.",
                       key))
        return nullptr;
    // The key is checked by construction, after every entry is read: a key
    // that is not a key spec fails there as it does for the constructor.
    if (!read_required(json_value, "value_spec", kwargs.get(),
                       "Field json missing 'value_spec'.", value))
        return nullptr;
    if (json_field(json_value, "description", kwargs.get(), description) < 0 ||
        json_field(json_value, "metadata", kwargs.get(), metadata) < 0)
        return nullptr;

    FieldMembers m;
    m.key = std::move(key);
    m.value = std::move(value);
    given_member(m.description, description.get());
    given_member(m.metadata, metadata.get());
    py::Ref init;
    const int has_init = raw_entry(json_value, "enable_init", init);
    if (has_init < 0 || (has_init && !py::arg_bool("enable_init", init.get(), m.enable_init)))
        return nullptr;
    for (const TriEntry& e : kTriFlags)
        if (!read_tri(json_value, e.name, m.*e.member)) return nullptr;
    if (raw_entry(json_value, "assign", assign) < 0 ||
        !arg_assign("assign", assign.get(), m.assign) ||
        raw_entry(json_value, "alias", alias) < 0)
        return nullptr;
    given_member(m.alias, alias.get());
    PyTypeObject* type = field_type();
    return type ? make_field(type, std::move(m)).release() : nullptr;
}

}  // namespace vesk::typing::field
