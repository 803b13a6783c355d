// Field construction: the constructor's arguments, their conversions and the
// checks every way of making a field (`__new__`, `from_json`) shares.
#include "typing/field/field.hpp"
#include "typing/field/field_ops.hpp"
#include "typing/field/field_state.hpp"

#include "py/args.hpp"
#include "py/deferred.hpp"
#include "py/named.hpp"
#include "typing/bridge.hpp"

namespace vesk::typing::field {

namespace {

py::Params<13> kNewSig{
    "Field",
    {"key_spec", "value_spec", "description", "metadata", "origin", "enable_repr",
     "enable_compare", "enable_hash", "enable_init", "enable_clone", "enable_validation", "assign",
     "alias"},
    5,
    2};

// The key as a key spec: a str is converted through the typing bridge's
// `key_spec_cls.from_str`; anything else must already be one.
[[nodiscard]] bool convert_key(py::Ref& key) {
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return false;
    PyObject* key_spec_cls = bridge->key_spec_cls.get();
    if (PyUnicode_Check(key.get())) {
        key = py::call_method<"from_str">(key_spec_cls, key.get());
        if (!key) return false;
    }
    const int is_key = PyObject_IsInstance(key.get(), key_spec_cls);
    if (is_key < 0) return false;
    if (!is_key) {
        py::Ref exc = py::Ref::steal(PyObject_CallOneArg(PyExc_AssertionError, key.get()));
        if (exc) PyErr_SetObject(PyExc_AssertionError, exc.get());
        return false;
    }
    return true;
}

// A truthy metadata must be a dict and is kept; none, None or an empty one
// becomes a new empty dict.
[[nodiscard]] bool convert_metadata(py::Ref& metadata) {
    int truth = 0;
    if (metadata && metadata.get() != Py_None) {
        truth = PyObject_IsTrue(metadata.get());
        if (truth < 0) return false;
    }
    if (truth) {
        if (PyDict_Check(metadata.get())) return true;
        PyErr_SetString(PyExc_ValueError, "metadata must be a dict.");
        return false;
    }
    metadata = py::Ref::steal(PyDict_New());
    return static_cast<bool>(metadata);
}

}  // namespace

PyObject* field_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::TupleArgs<13> a;
    if (!py::parse(kNewSig, args, kwds, a)) return nullptr;
    FieldMembers m;
    m.key = py::Ref::borrow(a[0]);
    m.value = py::Ref::borrow(a[1]);
    given_member(m.description, a[2]);
    given_member(m.metadata, a[3]);
    given_member(m.origin, a[4]);
    if (!arg_tri("enable_repr", a[5], m.enable_repr) ||
        !arg_tri("enable_compare", a[6], m.enable_compare) ||
        !arg_tri("enable_hash", a[7], m.enable_hash) ||
        (a[8] && !py::arg_bool("enable_init", a[8], m.enable_init)) ||
        !arg_tri("enable_clone", a[9], m.enable_clone) ||
        !arg_tri("enable_validation", a[10], m.enable_validation) ||
        !arg_assign("assign", a[11], m.assign))
        return nullptr;
    given_member(m.alias, a[12]);
    return make_field(type, std::move(m)).release();
}

bool check_alias(PyObject* alias) {
    if (PyUnicode_Check(alias) && PyUnicode_GetLength(alias) > 0) return true;
    if (PyErr_Occurred()) return false;
    py::Ref r = py::Ref::steal(PyObject_Repr(alias));
    if (r)
        PyErr_Format(PyExc_TypeError, "`alias` must be a non-empty string. Encountered: %U.",
                     r.get());
    return false;
}

void given_member(py::Ref& member, PyObject* arg) {
    if (arg) member = py::Ref::borrow(arg);
}

bool arg_tri(const char* name, PyObject* value, Tri& out) {
    if (!value || value == Py_None) {
        out = Tri::Unset;
        return true;
    }
    if (value != Py_True && value != Py_False) {
        py::raise_arg_type(name, "None, True or False", value);
        return false;
    }
    out = value == Py_True ? Tri::True : Tri::False;
    return true;
}

bool arg_assign(const char* name, PyObject* value, py::Ref& out) {
    out.reset();
    if (!value || value == Py_None) return true;
    if (!py::arg_str(name, value)) return false;
    out = py::Ref::borrow(value);
    return true;
}

py::Ref make_field(PyTypeObject* type, FieldMembers members) {
    if (!convert_key(members.key) || !convert_metadata(members.metadata)) return {};
    if (members.alias.get() != Py_None && !check_alias(members.alias.get())) return {};
    py::Ref self = py::alloc<FieldState>(type);
    if (!self) return {};
    static_cast<FieldMembers&>(py::state<FieldState>(self.get())) = std::move(members);
    // Every update of the field's value names the field.
    py::defer_counting(self.get());
    return self;
}

}  // namespace vesk::typing::field
