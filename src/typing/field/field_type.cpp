// The Field class: its accessors, setters and the tables that make up its
// Python surface. Construction lives in field_construct.cpp, application in
// field_apply.cpp, extension in field_extend.cpp.
#include "typing/field/field.hpp"
#include "typing/field/field_ops.hpp"

#include "py/args.hpp"
#include "py/lazy.hpp"
#include "py/methods.hpp"
#include "py/type.hpp"

namespace vesk::typing::field {

namespace {

constexpr const char kSerializationKey[] = "vesk.typing.Field";

py::TypeCell TYPE;

PyObject* or_none(const py::Ref& r) noexcept { return r ? r.get() : Py_None; }

// --- getters --------------------------------------------------------------

template <py::Ref FieldMembers::* Member>
PyObject* get_member(const Reading& self) {
    return py::new_ref(or_none((*self).*Member));
}

template <Tri FieldMembers::* Flag>
PyObject* get_effective(const Reading& self) {
    return py::boolean(self->effective((*self).*Flag));
}

template <Tri FieldMembers::* Flag>
PyObject* get_raw_flag(const Reading& self) {
    return py::new_ref(tri_object((*self).*Flag));
}

PyObject* get_enable_init(const Reading& self) { return py::boolean(self->enable_init); }

// An attribute of the value spec, read by name after the hold is released.
template <py::Literal Name>
PyObject* get_from_value_spec(Scoped self) {
    py::Ref spec = field_value_spec(self.object());
    return spec ? py::get_attr<Name>(spec.get()).release() : nullptr;
}

PyObject* get_frozen(Scoped self) {
    py::Ref frozen = py::Ref::steal(get_from_value_spec<"frozen">(self));
    if (!frozen) return nullptr;
    bool b = false;
    if (!py::arg_bool("frozen", frozen.get(), b)) return nullptr;
    return py::boolean(b);
}

// --- setters --------------------------------------------------------------
//
// Each takes the exclusive hold for its store alone: the value is converted
// before it, the cached record dropped and the replaced object released
// after it, since either may run a finaliser that reads the field.

[[nodiscard]] bool refuse_delete(PyObject* value) {
    if (value) return false;
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return true;
}

// Stores `value` into `member` under the exclusive hold; `Drops` says
// whether the member feeds the compiled record.
template <class T, T FieldMembers::* Member, bool Drops>
int store(Scoped self, T value) {
    {
        Writing w = self.exclusive();
        if (!w) return -1;
        std::swap((*w).*Member, value);
    }
    if (Drops) invalidate_meta(self.object());
    return 0;  // the replaced value leaves with `value`, after the hold
}

template <py::Ref FieldMembers::* Member, bool Drops>
int set_member(Scoped self, PyObject* value) {
    if (refuse_delete(value)) return -1;
    return store<py::Ref, Member, Drops>(self, py::Ref::borrow(value));
}

template <Tri FieldMembers::* Flag, bool Drops>
int set_raw_flag(Scoped self, PyObject* value) {
    Tri t = Tri::Unset;
    if (refuse_delete(value) || !arg_tri("value", value, t)) return -1;
    return store<Tri, Flag, Drops>(self, t);
}

int set_enable_init(Scoped self, PyObject* value) {
    bool v = true;
    if (refuse_delete(value) || !py::arg_bool("value", value, v)) return -1;
    return store<bool, &FieldMembers::enable_init, true>(self, v);
}

int set_assign(Scoped self, PyObject* value) {
    py::Ref text;
    if (refuse_delete(value) || !arg_assign("value", value, text)) return -1;
    return store<py::Ref, &FieldMembers::assign, true>(self, std::move(text));
}

// --- methods --------------------------------------------------------------

template <py::Ref FieldMembers::* Member>
PyObject* set_and_return_none(Scoped self, PyObject* value) {
    if (set_member<Member, false>(self, value) < 0) return nullptr;
    return py::none();
}

PyObject* field_set_validator(Scoped self, PyObject* validator) {
    if (validator != Py_None && !PyCallable_Check(validator)) {
        py::Ref r = py::Ref::steal(PyObject_Repr(validator));
        if (r)
            PyErr_Format(PyExc_TypeError,
                         "`validator` must be a single-arg callable. Encountered: %U.", r.get());
        return nullptr;
    }
    if (set_member<&FieldMembers::validator, true>(self, validator) < 0) return nullptr;
    return py::new_ref(self.object());
}

PyObject* field_set_alias(Scoped self, PyObject* alias) {
    if (alias != Py_None && !check_alias(alias)) return nullptr;
    if (set_member<&FieldMembers::alias, false>(self, alias) < 0) return nullptr;
    return py::new_ref(self.object());
}

// The parameters of the members that take one argument or none.
py::Params<1> kSetDescriptionParams{"set_description", {"description"}, 1, 1};
py::Params<1> kSetOriginParams{"set_origin", {"origin"}, 1, 1};
py::Params<1> kSetValidatorParams{"set_validator", {"validator"}, 1, 1};
py::Params<1> kSetAliasParams{"set_alias", {"alias"}, 1, 1};
py::Params<0> kOwnValueSpecParams{"_own_value_spec"};
py::Params<0> kMaterializeStrictParams{"_materialize_strict"};
py::Params<1> kExtendParams{"extend", {"base_field"}, 1, 1};
py::Params<0> kFieldMetaProbeParams{"_field_meta_probe"};
py::Params<0> kCopyParams{"__copy__"};

PyMethodDef kMethods[] = {
    py::static_method<field_from_annotation>("from_annotation", kFromAnnotationParams),
    py::method<set_and_return_none<&FieldMembers::description>>("set_description",
                                                                kSetDescriptionParams),
    py::method<set_and_return_none<&FieldMembers::origin>>("set_origin", kSetOriginParams),
    py::method<field_set_validator>("set_validator", kSetValidatorParams),
    py::method<field_set_alias>("set_alias", kSetAliasParams),
    py::method<field_own_value_spec>("_own_value_spec", kOwnValueSpecParams),
    py::method<field_materialize_strict>("_materialize_strict", kMaterializeStrictParams),
    py::method<field_extend>("extend", kExtendParams),
    py::method<field_apply>("apply", kApplyParams),
    py::method<field_meta_probe>("_field_meta_probe", kFieldMetaProbeParams),
    py::method<field_format>("format", kFormatParams),
    py::method<field_copy>("__copy__", kCopyParams),
    py::method<field_deepcopy>("__deepcopy__", kDeepcopyParams),
    py::method<field_to_json>("to_json", kToJsonParams),
    py::class_method<field_from_json>("from_json", kFromJsonParams),
    py::kMethodsEnd,
};

// The stored flags `_enable_*` read and write as stated; the plain getters
// answer the effective value.
PyGetSetDef kGetters[] = {
    py::getter<get_member<&FieldMembers::key>>("key"),
    py::getter<get_member<&FieldMembers::value>>("value"),
    py::getter<get_member<&FieldMembers::description>>("description"),
    py::getter<get_member<&FieldMembers::metadata>>("metadata"),
    py::getter<get_member<&FieldMembers::origin>>("origin"),
    py::getter<get_from_value_spec<"annotation">>("annotation"),
    py::getter<get_from_value_spec<"default">>("default_value"),
    py::getter<get_frozen>("frozen"),
    py::getter<get_effective<&FieldMembers::enable_repr>>("enable_repr"),
    py::getter<get_effective<&FieldMembers::enable_compare>>("enable_compare"),
    py::getter<get_effective<&FieldMembers::enable_hash>>("enable_hash"),
    py::getter<get_enable_init>("enable_init"),
    py::getter<get_effective<&FieldMembers::enable_clone>>("enable_clone"),
    py::getter<get_effective<&FieldMembers::enable_validation>>("enable_validation"),
    py::getter<get_member<&FieldMembers::validator>>("validator"),
    py::getter<get_member<&FieldMembers::alias>>("alias"),
    py::getter<get_member<&FieldMembers::key>, set_member<&FieldMembers::key, true>>("_key"),
    py::getter<get_member<&FieldMembers::value>, set_member<&FieldMembers::value, true>>("_value"),
    py::getter<get_member<&FieldMembers::description>,
               set_member<&FieldMembers::description, false>>("_description"),
    py::getter<get_member<&FieldMembers::origin>, set_member<&FieldMembers::origin, false>>(
        "_origin"),
    py::getter<get_member<&FieldMembers::metadata>,
               set_member<&FieldMembers::metadata, false>>("_metadata"),
    py::getter<get_raw_flag<&FieldMembers::enable_repr>,
               set_raw_flag<&FieldMembers::enable_repr, false>>("_enable_repr"),
    py::getter<get_raw_flag<&FieldMembers::enable_compare>,
               set_raw_flag<&FieldMembers::enable_compare, false>>("_enable_compare"),
    py::getter<get_raw_flag<&FieldMembers::enable_hash>,
               set_raw_flag<&FieldMembers::enable_hash, false>>("_enable_hash"),
    py::getter<get_enable_init, set_enable_init>("_enable_init"),
    py::getter<get_raw_flag<&FieldMembers::enable_clone>,
               set_raw_flag<&FieldMembers::enable_clone, false>>("_enable_clone"),
    py::getter<get_raw_flag<&FieldMembers::enable_validation>,
               set_raw_flag<&FieldMembers::enable_validation, true>>("_enable_validation"),
    py::getter<get_member<&FieldMembers::assign>>("assign"),
    py::getter<get_member<&FieldMembers::assign>, set_assign>("_assign"),
    py::getter<get_member<&FieldMembers::validator>,
               set_member<&FieldMembers::validator, true>>("_validator"),
    py::getter<get_member<&FieldMembers::alias>, set_member<&FieldMembers::alias, false>>(
        "_alias"),
    py::kGettersEnd,
};

}  // namespace

// A field holds arbitrary objects (origin class, metadata, validator), so a
// class -> schema -> field -> class cycle runs through it: the State's
// `visit` makes the class GC-tracked, its cached record counted while the
// field alone holds it.
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
    Reading s(field);
    if (!s) return {};
    return py::Ref::borrow(or_none(s->value));
}

}  // namespace vesk::typing::field
