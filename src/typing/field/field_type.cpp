// The Field class: construction, accessors, setters and the cycle-collector
// hooks. Application and extension live in field_apply.cpp.
#include "typing/field/field.hpp"
#include "typing/field/field_ops.hpp"
#include "typing/field/field_state.hpp"

#include "py/args.hpp"
#include "py/lazy.hpp"
#include "py/methods.hpp"
#include "py/type.hpp"
#include "typing/bridge.hpp"

namespace vesk::typing::field {

namespace {

constexpr const char kSerializationKey[] = "vesk.typing.Field";

py::TypeCell TYPE;

PyObject* or_none(const py::Ref& r) noexcept { return r ? r.get() : Py_None; }

// Refuses a stored alias that is not a non-empty str.
[[nodiscard]] bool check_alias(PyObject* alias) {
    if (PyUnicode_Check(alias) && PyUnicode_GetLength(alias) > 0) return true;
    if (PyErr_Occurred()) return false;
    py::Ref r = py::Ref::steal(PyObject_Repr(alias));
    if (r)
        PyErr_Format(PyExc_TypeError, "`alias` must be a non-empty string. Encountered: %U.",
                     r.get());
    return false;
}

// --- construction ---------------------------------------------------------

py::Params<13> kNewSig{
    "Field",
    {"key_spec", "value_spec", "description", "metadata", "origin", "enable_repr",
     "enable_compare", "enable_hash", "enable_init", "enable_clone", "enable_validation", "assign",
     "alias"},
    5,
    2};

PyObject* field_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::Args<13> a;
    if (!py::parse(kNewSig, args, kwds, a)) return nullptr;
    FieldArgs f;
    f.key = a[0];
    f.value = a[1];
    f.description = a[2];
    f.metadata = a[3];
    f.origin = a[4];
    if (!arg_tri("enable_repr", a[5], f.enable_repr) ||
        !arg_tri("enable_compare", a[6], f.enable_compare) ||
        !arg_tri("enable_hash", a[7], f.enable_hash) ||
        (a[8] && !py::arg_bool("enable_init", a[8], f.enable_init)) ||
        !arg_tri("enable_clone", a[9], f.enable_clone) ||
        !arg_tri("enable_validation", a[10], f.enable_validation) ||
        !arg_assign("assign", a[11], f.assign))
        return nullptr;
    f.alias = a[12];
    return make_field(type, f).release();
}

// --- getters --------------------------------------------------------------

// Reads one member under a shared borrow.
template <py::Ref FieldState::* Member>
PyObject* get_member(PyObject* self) {
    py::SharedBorrow b(py::borrow_flag<FieldState>(self));
    if (!b.acquire()) return nullptr;
    return py::new_ref(or_none(py::state<FieldState>(self).*Member));
}

template <Tri FieldState::* Flag>
PyObject* get_effective(PyObject* self) {
    py::SharedBorrow b(py::borrow_flag<FieldState>(self));
    if (!b.acquire()) return nullptr;
    const FieldState& s = py::state<FieldState>(self);
    return py::boolean(s.effective(s.*Flag));
}

template <Tri FieldState::* Flag>
PyObject* get_raw_flag(PyObject* self) {
    py::SharedBorrow b(py::borrow_flag<FieldState>(self));
    if (!b.acquire()) return nullptr;
    return py::new_ref(tri_object(py::state<FieldState>(self).*Flag));
}

PyObject* get_enable_init(PyObject* self) {
    py::SharedBorrow b(py::borrow_flag<FieldState>(self));
    if (!b.acquire()) return nullptr;
    return py::boolean(py::state<FieldState>(self).enable_init);
}

// An attribute of the value spec, read by name after the borrow is released.
template <py::Literal Name>
PyObject* get_from_value_spec(PyObject* self) {
    py::Ref spec = field_value_spec(self);
    if (!spec) return nullptr;
    PyObject* name = py::intern<Name>();
    return name ? PyObject_GetAttr(spec.get(), name) : nullptr;
}

PyObject* get_frozen(PyObject* self) {
    py::Ref frozen = py::Ref::steal(get_from_value_spec<"frozen">(self));
    if (!frozen) return nullptr;
    bool b = false;
    if (!py::arg_bool("frozen", frozen.get(), b)) return nullptr;
    return py::boolean(b);
}

// --- setters --------------------------------------------------------------

[[nodiscard]] bool refuse_delete(PyObject* value) {
    if (value) return false;
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return true;
}

// Stores one member under an exclusive borrow; `Drops` says whether the
// member feeds the compiled metadata.
template <py::Ref FieldState::* Member, bool Drops>
int set_member(PyObject* self, PyObject* value) {
    if (refuse_delete(value)) return -1;
    py::Ref old;
    {
        py::ExclusiveBorrow b(py::borrow_flag<FieldState>(self));
        if (!b.acquire()) return -1;
        old = std::exchange(py::state<FieldState>(self).*Member, py::Ref::borrow(value));
    }
    if (Drops) invalidate_meta(self);
    return 0;  // `old` is released here, after every guard
}

template <Tri FieldState::* Flag, bool Drops>
int set_raw_flag(PyObject* self, PyObject* value) {
    if (refuse_delete(value)) return -1;
    Tri t = Tri::Unset;
    if (!arg_tri("value", value, t)) return -1;
    {
        py::ExclusiveBorrow b(py::borrow_flag<FieldState>(self));
        if (!b.acquire()) return -1;
        py::state<FieldState>(self).*Flag = t;
    }
    if (Drops) invalidate_meta(self);
    return 0;
}

int set_enable_init(PyObject* self, PyObject* value) {
    if (refuse_delete(value)) return -1;
    bool v = true;
    if (!py::arg_bool("value", value, v)) return -1;
    {
        py::ExclusiveBorrow b(py::borrow_flag<FieldState>(self));
        if (!b.acquire()) return -1;
        py::state<FieldState>(self).enable_init = v;
    }
    invalidate_meta(self);
    return 0;
}

int set_assign(PyObject* self, PyObject* value) {
    if (refuse_delete(value)) return -1;
    py::Ref text;
    if (!arg_assign("value", value, text)) return -1;
    {
        py::ExclusiveBorrow b(py::borrow_flag<FieldState>(self));
        if (!b.acquire()) return -1;
        std::swap(py::state<FieldState>(self).assign, text);
    }
    invalidate_meta(self);
    return 0;  // the replaced policy is released here, after every guard
}

// --- methods --------------------------------------------------------------

template <py::Ref FieldState::* Member>
PyObject* set_and_return_none(PyObject* self, PyObject* value) {
    if (set_member<Member, false>(self, value) < 0) return nullptr;
    return py::none();
}

PyObject* field_set_validator(PyObject* self, PyObject* validator) {
    if (validator != Py_None && !PyCallable_Check(validator)) {
        py::Ref r = py::Ref::steal(PyObject_Repr(validator));
        if (r)
            PyErr_Format(PyExc_TypeError,
                         "`validator` must be a single-arg callable. Encountered: %U.", r.get());
        return nullptr;
    }
    if (set_member<&FieldState::validator, true>(self, validator) < 0) return nullptr;
    return py::new_ref(self);
}

PyObject* field_set_alias(PyObject* self, PyObject* alias) {
    if (alias != Py_None && !check_alias(alias)) return nullptr;
    if (set_member<&FieldState::alias, false>(self, alias) < 0) return nullptr;
    return py::new_ref(self);
}

PyMethodDef kMethods[] = {
    py::static_method<field_from_annotation>("from_annotation"),
    py::method<set_and_return_none<&FieldState::description>>("set_description"),
    py::method<set_and_return_none<&FieldState::origin>>("set_origin"),
    py::method<field_set_validator>("set_validator"),
    py::method<field_set_alias>("set_alias"),
    py::method<field_own_value_spec>("_own_value_spec"),
    py::method<field_materialize_strict>("_materialize_strict"),
    py::method<field_extend>("extend"),
    py::method<field_apply>("apply"),
    py::method<field_meta_probe>("_field_meta_probe"),
    py::method<field_format>("format"),
    py::method<field_copy>("__copy__"),
    py::method<field_deepcopy>("__deepcopy__"),
    py::method<field_to_json>("to_json"),
    py::class_method<field_from_json>("from_json"),
    py::kMethodsEnd,
};

PyGetSetDef kGetters[] = {
    py::getter<get_member<&FieldState::key>>("key"),
    py::getter<get_member<&FieldState::value>>("value"),
    py::getter<get_member<&FieldState::description>>("description"),
    py::getter<get_member<&FieldState::metadata>>("metadata"),
    py::getter<get_member<&FieldState::origin>>("origin"),
    py::getter<get_from_value_spec<"annotation">>("annotation"),
    py::getter<get_from_value_spec<"default">>("default_value"),
    py::getter<get_frozen>("frozen"),
    py::getter<get_effective<&FieldState::enable_repr>>("enable_repr"),
    py::getter<get_effective<&FieldState::enable_compare>>("enable_compare"),
    py::getter<get_effective<&FieldState::enable_hash>>("enable_hash"),
    py::getter<get_enable_init>("enable_init"),
    py::getter<get_effective<&FieldState::enable_clone>>("enable_clone"),
    py::getter<get_effective<&FieldState::enable_validation>>("enable_validation"),
    py::getter<get_member<&FieldState::validator>>("validator"),
    py::getter<get_member<&FieldState::alias>>("alias"),
    py::getter<get_member<&FieldState::key>, set_member<&FieldState::key, true>>("_key"),
    py::getter<get_member<&FieldState::value>, set_member<&FieldState::value, true>>("_value"),
    py::getter<get_member<&FieldState::description>,
               set_member<&FieldState::description, false>>("_description"),
    py::getter<get_member<&FieldState::origin>, set_member<&FieldState::origin, false>>("_origin"),
    py::getter<get_member<&FieldState::metadata>,
               set_member<&FieldState::metadata, false>>("_metadata"),
    py::getter<get_raw_flag<&FieldState::enable_repr>,
               set_raw_flag<&FieldState::enable_repr, false>>("_enable_repr"),
    py::getter<get_raw_flag<&FieldState::enable_compare>,
               set_raw_flag<&FieldState::enable_compare, false>>("_enable_compare"),
    py::getter<get_raw_flag<&FieldState::enable_hash>,
               set_raw_flag<&FieldState::enable_hash, false>>("_enable_hash"),
    py::getter<get_enable_init, set_enable_init>("_enable_init"),
    py::getter<get_raw_flag<&FieldState::enable_clone>,
               set_raw_flag<&FieldState::enable_clone, false>>("_enable_clone"),
    py::getter<get_raw_flag<&FieldState::enable_validation>,
               set_raw_flag<&FieldState::enable_validation, true>>("_enable_validation"),
    py::getter<get_member<&FieldState::assign>>("assign"),
    py::getter<get_member<&FieldState::assign>, set_assign>("_assign"),
    py::getter<get_member<&FieldState::validator>,
               set_member<&FieldState::validator, true>>("_validator"),
    py::getter<get_member<&FieldState::alias>, set_member<&FieldState::alias, false>>("_alias"),
    py::kGettersEnd,
};

// --- cycle collection -----------------------------------------------------

// A field holds arbitrary objects (origin class, metadata, validator), so a
// class -> schema -> field -> class cycle runs through it. The cached record
// is counted only while this field is its sole holder: a record shared with a
// schema is counted by nobody rather than twice.
int field_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const FieldState& s = py::state<FieldState>(self);
    for (const py::Ref* r : {&s.key, &s.value, &s.description, &s.origin, &s.metadata,
                             &s.validator, &s.alias, &s.assign})
        Py_VISIT(r->get());
    if (const FieldMeta* m = s.meta.sole_record_unlocked())
        return m->visit([&](PyObject* o) -> int {
            Py_VISIT(o);
            return 0;
        });
    return 0;
}

int field_clear(PyObject* self) {
    FieldState& s = py::state<FieldState>(self);
    FieldMetaRef dropped = s.meta.take();
    for (py::Ref* r : {&s.key, &s.value, &s.description, &s.origin, &s.metadata, &s.validator,
                       &s.alias, &s.assign})
        r->reset();
    return 0;
}

}  // namespace

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

py::Ref make_field(PyTypeObject* type, const FieldArgs& f) {
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return {};
    PyObject* key_spec_cls = bridge->key_spec_cls.get();
    py::Ref key = py::Ref::borrow(f.key);
    if (PyUnicode_Check(key.get())) {
        PyObject* name = py::intern<"from_str">();
        if (!name) return {};
        py::Ref from_str = py::Ref::steal(PyObject_GetAttr(key_spec_cls, name));
        if (!from_str) return {};
        key = py::Ref::steal(PyObject_CallOneArg(from_str.get(), key.get()));
        if (!key) return {};
    }
    const int is_key = PyObject_IsInstance(key.get(), key_spec_cls);
    if (is_key < 0) return {};
    if (!is_key) {
        py::Ref exc = py::Ref::steal(PyObject_CallOneArg(PyExc_AssertionError, key.get()));
        if (exc) PyErr_SetObject(PyExc_AssertionError, exc.get());
        return {};
    }
    py::Ref metadata;
    int truth = 0;
    if (f.metadata && f.metadata != Py_None) {
        truth = PyObject_IsTrue(f.metadata);
        if (truth < 0) return {};
    }
    if (truth) {
        if (!PyDict_Check(f.metadata)) {
            PyErr_SetString(PyExc_ValueError, "metadata must be a dict.");
            return {};
        }
        metadata = py::Ref::borrow(f.metadata);
    } else {
        metadata = py::Ref::steal(PyDict_New());
        if (!metadata) return {};
    }
    if (f.alias && f.alias != Py_None && !check_alias(f.alias)) return {};
    py::Ref self = py::alloc<FieldState>(type);
    if (!self) return {};
    FieldState& s = py::state<FieldState>(self.get());
    s.key = std::move(key);
    s.value = py::Ref::borrow(f.value);
    s.description = py::Ref::borrow(f.description ? f.description : Py_None);
    s.origin = py::Ref::borrow(f.origin ? f.origin : Py_None);
    s.metadata = std::move(metadata);
    s.validator = py::Ref::borrow(Py_None);
    s.alias = py::Ref::borrow(f.alias ? f.alias : Py_None);
    s.assign = f.assign;
    s.enable_repr = f.enable_repr;
    s.enable_compare = f.enable_compare;
    s.enable_hash = f.enable_hash;
    s.enable_init = f.enable_init;
    s.enable_clone = f.enable_clone;
    s.enable_validation = f.enable_validation;
    return self;
}

PyTypeObject* field_type() {
    return TYPE.get([](py::TypeDef& t) {
        t.name("vesk_core._native.Field")
            .state<FieldState>()
            .final_()
            .slots({
                py::slot<Py_tp_new, field_new>(),
                py::slot<Py_tp_str, field_str>(),
                py::slot<Py_tp_repr, field_repr>(),
                py::slot<Py_tp_richcompare, field_richcompare>(),
                py::slot<Py_tp_traverse, field_traverse>(),
                py::slot<Py_tp_clear, field_clear>(),
            })
            .methods(kMethods)
            .getters(kGetters)
            .class_attr("__vesk_formattable__", Py_True)
            .class_attr("__serialization_key__", kSerializationKey);
    });
}

bool is_field(PyObject* obj) noexcept {
    PyTypeObject* type = TYPE.peek();
    return type && Py_TYPE(obj) == type;
}

py::Ref field_value_spec(PyObject* field) {
    py::SharedBorrow b(py::borrow_flag<FieldState>(field));
    if (!b.acquire()) return {};
    return py::Ref::borrow(or_none(py::state<FieldState>(field).value));
}

}  // namespace vesk::typing::field
