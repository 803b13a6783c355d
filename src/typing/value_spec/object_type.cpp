// Object and Type: construction, their classes and members, and their
// entries in the kind dispatch.
#include "typing/value_spec/object_type.hpp"

#include "py/args.hpp"
#include "py/lazy.hpp"
#include "py/type.hpp"
#include "typing/bridge.hpp"
#include "typing/markers.hpp"
#include "typing/funnel/funnel.hpp"
#include "typing/value_spec/engine/apply.hpp"
#include "typing/value_spec/engine/kind_checks.hpp"
#include "typing/value_spec/format.hpp"
#include "typing/value_spec/from_json.hpp"
#include "typing/value_spec/primitives/kind_class.hpp"
#include "typing/value_spec/utils.hpp"

namespace vesk::typing {

namespace {

PyObject* as_object(PyTypeObject* type) noexcept { return reinterpret_cast<PyObject*>(type); }

py::Ref make_forward_ref(const TypingBridge& bridge, PyObject* name) {
    return py::Ref::steal(PyObject_CallOneArg(bridge.make_forward_ref.get(), name));
}

// Whether `t` carries a truthy `__no_type_check__`; a failing read counts as
// absent, a failing truth test propagates. 1, 0 or -1.
int no_type_check(PyObject* t) {
    PyObject* name = py::intern<"__no_type_check__">();
    if (!name) return -1;
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(t, name, &found) < 0) {
        PyErr_Clear();
        return 0;
    }
    if (!found) return 0;
    py::Ref flag = py::Ref::steal(found);
    return PyObject_IsTrue(flag.get());
}

// The class an Object spec stands for, kept as its value type: `t` itself,
// `object` for a function marked `__no_type_check__`, or a generic alias.
py::Ref object_class_of(PyObject* t) {
    const int is_class = PyObject_IsInstance(t, as_object(&PyType_Type));
    if (is_class < 0) return {};
    if (is_class) {
        PyObject* object = py::imported<"builtins", "object">();
        if (!object) return {};
        if (t == object) {
            PyErr_SetString(PyExc_TypeError, "<class 'object'> is too general for Object spec.");
            return {};
        }
        return py::Ref::borrow(t);
    }
    const int unchecked = no_type_check(t);
    if (unchecked < 0) return {};
    if (unchecked) {
        PyObject* object = py::imported<"builtins", "object">();
        return py::Ref::borrow(object);
    }
    const int generic = call_is_generic(t);
    if (generic < 0) return {};
    if (generic) return py::Ref::borrow(t);
    PyErr_Format(PyExc_TypeError,
                 "\"cls\" for Object spec should be a type or str. Encountered: %R.", t);
    return {};
}

}  // namespace

std::optional<SpecEngine> object_new(PyObject* t, SpecCommon common) {
    if (t == Py_None) {
        PyErr_SetString(PyExc_TypeError, "\"cls\" for Object spec cannot be None.");
        return std::nullopt;
    }
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return std::nullopt;
    py::Ref forward_ref;
    py::Ref value_type;
    const int is_ref = PyObject_IsInstance(t, bridge->forward_ref_cls.get());
    if (is_ref < 0) return std::nullopt;
    if (is_ref) {
        forward_ref = py::Ref::borrow(t);
        value_type = py::Ref::borrow(t);
    } else if (PyUnicode_Check(t)) {
        // The string stays the stored value type; the reference resolves it.
        forward_ref = make_forward_ref(*bridge, t);
        if (!forward_ref) return std::nullopt;
        value_type = py::Ref::borrow(t);
    } else {
        value_type = object_class_of(t);
        if (!value_type) return std::nullopt;
    }
    return build_base(std::move(value_type), ObjectKind{std::move(forward_ref)},
                      std::move(common));
}

std::optional<SpecEngine> type_new(PyObject* t, SpecCommon common) {
    py::Ref forward_ref;
    if (PyUnicode_Check(t)) {
        const TypingBridge* bridge = typing_bridge();
        if (!bridge) return std::nullopt;
        forward_ref = make_forward_ref(*bridge, t);
        if (!forward_ref) return std::nullopt;
    } else {
        PyObject* any = py::imported<"typing", "Any">();
        if (!any) return std::nullopt;
        const int is_class = PyObject_IsInstance(t, as_object(&PyType_Type));
        if (is_class < 0) return std::nullopt;
        if (!is_class) {
            // Asked first, also for `typing.Any`, so the package sees every
            // non-class argument.
            const int generic = call_is_generic(t);
            if (generic < 0) return std::nullopt;
            if (!generic && t != any) {
                PyErr_Format(PyExc_TypeError, "%R is not a type.", t);
                return std::nullopt;
            }
        }
    }
    common.transform.reset();
    return build_base(py::Ref::borrow(as_object(&PyType_Type)),
                      TypeKind{py::Ref::borrow(t), std::move(forward_ref)}, std::move(common));
}

namespace {

using primitives::CommonArgs;
using primitives::convert_common;
using primitives::wrap_built;

// --- apply --------------------------------------------------------------------

Shortcut object_shortcut(const SpecEngine& engine, PyObject*, PyObject* value,
                         ApplyOptions& options, py::Ref& out) {
    if (engine.frozen || engine.transform || !engine.value_type) return Shortcut::Undecided;
    const int accepted =
        funnel::object_accept(engine.value_type.get(), value, options.allow_partial);
    if (accepted < 0) return Shortcut::Error;
    if (!accepted) return Shortcut::Undecided;
    out = py::Ref::borrow(value);
    return Shortcut::Accepted;
}

// A partially bound symbolic object is refused unless partial values are
// allowed.
py::Ref object_apply_kind(const SpecEngine&, py::Ref value, const ApplyOptions& options,
                          PyObject* path_text) {
    if (options.allow_partial) return value;
    const int maybe = is_maybe_partial(value.get());
    if (maybe <= 0) return maybe < 0 ? py::Ref() : value;
    py::Ref partial = py::get_attr<"sym_partial">(value.get());
    if (!partial) return {};
    const int truthy = PyObject_IsTrue(partial.get());
    if (truthy <= 0) return truthy < 0 ? py::Ref() : value;
    PyErr_Format(PyExc_ValueError, "Object %S is not fully bound. (path=%S)", value.get(),
                 path_text);
    return {};
}

// --- getters ----------------------------------------------------------------

// The class, resolved through the forward reference at every call.
py::Ref resolved_class(PyObject* self) {
    py::SharedBorrow hold(spec_borrow(self));
    if (!hold.acquire()) return {};
    py::Ref cls = object_value_type_obj(spec_engine(self));
    if (!cls && !PyErr_Occurred()) cls = py::Ref::borrow(Py_None);
    return cls;
}

PyObject* get_cls(PyObject* self) { return resolved_class(self).release(); }

// `getattr(cls, '__schema__', None)`, where only a missing attribute gives
// None: any other failure of the read is the caller's to see.
PyObject* get_schema(PyObject* self) {
    py::SharedBorrow hold(spec_borrow(self));
    if (!hold.acquire()) return nullptr;
    py::Ref cls = object_value_type_obj(spec_engine(self));
    if (!cls) return PyErr_Occurred() ? nullptr : py::new_ref(Py_None);
    PyObject* name = py::intern<"__schema__">();
    if (!name) return nullptr;
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(cls.get(), name, &found) < 0) return nullptr;
    return found ? found : py::new_ref(Py_None);
}

PyObject* get_type(PyObject* self) {
    py::SharedBorrow hold(spec_borrow(self));
    if (!hold.acquire()) return nullptr;
    const TypeKind* type = kind_as<TypeKind>(spec_engine(self).kind);
    if (!type) return py::new_ref(Py_None);
    if (type->forward_ref) return py::get_attr<"cls">(type->forward_ref.get()).release();
    return py::new_ref(type->t.get());
}

// --- constructors -------------------------------------------------------------

namespace object_args {

enum Param : std::size_t {
    kT, kDefault, kDefaultFactory, kTransform, kIsNoneable, kFrozen, kStrict, kParamCount,
};

py::Params<kParamCount> kParams{
    "Object",
    {"t", "default", "default_factory", "transform", "is_noneable", "frozen", "strict"},
    kParamCount,
    1};

PyObject* construct(PyTypeObject* type, const py::Args<kParamCount>& a) {
    SpecCommon common;
    if (!convert_common({.default_value = a[kDefault],
                         .default_factory = a[kDefaultFactory],
                         .transform = a[kTransform],
                         .is_noneable = a[kIsNoneable],
                         .frozen = a[kFrozen],
                         .strict = a[kStrict]},
                        common))
        return nullptr;
    return wrap_built(type, object_new(a[kT], std::move(common)));
}

}  // namespace object_args

namespace type_args {

enum Param : std::size_t {
    kT, kDefault, kDefaultFactory, kIsNoneable, kFrozen, kStrict, kParamCount,
};

py::Params<kParamCount> kParams{
    "Type",
    {"t", "default", "default_factory", "is_noneable", "frozen", "strict"},
    kParamCount,
    1};

PyObject* construct(PyTypeObject* type, const py::Args<kParamCount>& a) {
    SpecCommon common;
    if (!convert_common({.default_value = a[kDefault],
                         .default_factory = a[kDefaultFactory],
                         .is_noneable = a[kIsNoneable],
                         .frozen = a[kFrozen],
                         .strict = a[kStrict]},
                        common))
        return nullptr;
    return wrap_built(type, type_new(a[kT], std::move(common)));
}

}  // namespace type_args

PyObject* object_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::Args<object_args::kParamCount> a;
    if (!py::parse(object_args::kParams, args, kwds, a)) return nullptr;
    return object_args::construct(type, a);
}

PyObject* object_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    py::Args<object_args::kParamCount> a;
    if (!py::parse(object_args::kParams, args, PyVectorcall_NARGS(nargsf), kwnames, a))
        return nullptr;
    return object_args::construct(reinterpret_cast<PyTypeObject*>(type), a);
}

PyObject* type_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::Args<type_args::kParamCount> a;
    if (!py::parse(type_args::kParams, args, kwds, a)) return nullptr;
    return type_args::construct(type, a);
}

PyObject* type_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames) {
    py::Args<type_args::kParamCount> a;
    if (!py::parse(type_args::kParams, args, PyVectorcall_NARGS(nargsf), kwnames, a))
        return nullptr;
    return type_args::construct(reinterpret_cast<PyTypeObject*>(type), a);
}

// --- type arguments ------------------------------------------------------

using NewFn = std::optional<SpecEngine> (*)(PyObject*, SpecCommon);

// `X[t]` with exactly one argument; `message` takes str() of the tuple.
py::Ref from_one_type_arg(PyObject* type_args, PyTypeObject* type, NewFn make,
                          const char* message) {
    if (!type) return {};
    py::Ref args = as_type_args(type_args);
    if (!args) return {};
    if (PyTuple_GET_SIZE(args.get()) != 1) {
        py::Ref text = py::Ref::steal(PyObject_Str(args.get()));
        if (text) PyErr_Format(PyExc_TypeError, message, text.get());
        return {};
    }
    return py::Ref::steal(wrap_built(type, make(PyTuple_GET_ITEM(args.get(), 0), defaults())));
}

constexpr const char kObjectArgs[] = "`vk.typing.Object` requires 1 type argument. Encountered: %U";
constexpr const char kTypeArgs[] = "`vk.typing.Type` requires 1 type argument. Encountered: %U.";

py::Params<1> kTypeArgsParams{"with_type_args", {"type_args"}, 1, 1};

template <PyTypeObject* (*Type)(), NewFn Make, const char* Message>
PyObject* with_type_args(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kTypeArgsParams, args, nargs, kwnames, a)) return nullptr;
    return from_one_type_arg(a[0], Type(), Make, Message).release();
}

template <PyTypeObject* (*Type)(), NewFn Make, const char* Message>
PyObject* class_getitem(PyObject*, PyObject* type_args) {
    py::Ref spec = from_one_type_arg(type_args, Type(), Make, Message);
    if (!spec) return nullptr;
    return generic_getitem_result(std::move(spec)).release();
}

// --- text forms -----------------------------------------------------------------

// The name shown for an Object's class: the forward reference's name, the
// class's `__name__`, or the bridge's display name of the value type.
py::Ref object_display_name(const SpecEngine& engine, const TypingBridge& bridge) {
    const ObjectKind& object = std::get<ObjectKind>(engine.kind);
    if (object.forward_ref) return py::get_attr<"name">(object.forward_ref.get());
    PyObject* vt = engine.value_type.get();
    if (!vt) {
        py::raise_internal("resolved Object has a value_type");
        return {};
    }
    if (PyType_Check(vt)) return py::get_attr<"__name__">(vt);
    return py::Ref::steal(PyObject_CallOneArg(bridge.type_display_name.get(), vt));
}

bool add_common_tail(SpecItems& items) {
    return items.add_default() && items.add_default_factory() && items.add_noneable() &&
           items.add_frozen() && items.add_strict();
}

bool object_format_items(SpecItems& items) {
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return false;
    py::Ref name = object_display_name(items.engine(), *bridge);
    if (!name) return false;
    py::Ref shown = py::Ref::steal(PyObject_CallOneArg(bridge->raw_text_cls.get(), name.get()));
    return shown && items.add("", shown.get(), Py_None) && add_common_tail(items);
}

bool type_format_items(SpecItems& items) {
    const TypeKind& type = std::get<TypeKind>(items.engine().kind);
    return items.add("", type.t.get(), Py_None) && add_common_tail(items);
}

// --- the classes ----------------------------------------------------------------

PyMethodDef object_methods[] = {
    py::method<&primitives::copy<object_type>>("__copy__"),
    py::method<&primitives::deepcopy<object_type>>("__deepcopy__"),
    py::class_method<&from_json_method<"vesk.typing.Object", object_type>>("from_json"),
    py::class_method<&with_type_args<object_type, object_new, kObjectArgs>>("with_type_args"),
    py::class_method<&class_getitem<object_type, object_new, kObjectArgs>>("__class_getitem__"),
    py::kMethodsEnd,
};

PyGetSetDef object_getters[] = {
    py::getter<&primitives::skip_user_transform<object_type>>("skip_user_transform"),
    py::getter<&get_cls>("cls", "The (resolved) class of this Object spec."),
    py::getter<&get_schema>("schema", "`getattr(self.value_type, '__schema__', None)`."),
    py::kGettersEnd,
};

PyMethodDef type_methods[] = {
    py::class_method<&with_type_args<type_type, type_new, kTypeArgs>>("with_type_args"),
    py::class_method<&class_getitem<type_type, type_new, kTypeArgs>>("__class_getitem__"),
    py::method<&primitives::copy<type_type>>("__copy__"),
    py::method<&primitives::deepcopy<type_type>>("__deepcopy__"),
    py::class_method<&from_json_method<"vesk.typing.Type", type_type>>("from_json"),
    py::kMethodsEnd,
};

PyGetSetDef type_getters[] = {
    py::getter<&get_type>("type", "The desired type (resolving a forward ref)."),
    py::getter<&primitives::skip_user_transform<type_type>>("skip_user_transform"),
    py::kGettersEnd,
};

const char* object_label(const SpecKind&) { return "Object"; }
const char* object_key(const SpecKind&) { return "vesk.typing.Object"; }
PyTypeObject* object_class(const SpecKind&) { return object_type(); }
const char* type_label(const SpecKind&) { return "Type"; }
const char* type_key(const SpecKind&) { return "vesk.typing.Type"; }
PyTypeObject* type_class(const SpecKind&) { return type_type(); }

}  // namespace

PyTypeObject* object_type() {
    static py::TypeCell TYPE;
    PyTypeObject* base = spec_base_type();
    if (!base) return nullptr;
    return TYPE.get([&](py::TypeDef& t) {
        t.name("vesk_core._native.Object")
            .doc("Object(t, default=..., default_factory=None, transform=None, "
                 "is_noneable=False, frozen=False, strict=None)\n--\n\n")
            .base(base)
            .final_()
            .slots({py::slot<Py_tp_new, &object_tp_new>()})
            .vectorcall<&object_vectorcall>()
            .methods(object_methods)
            .getters(object_getters)
            .class_attr("__serialization_key__", "vesk.typing.Object");
    });
}

PyTypeObject* type_type() {
    static py::TypeCell TYPE;
    PyTypeObject* base = spec_base_type();
    if (!base) return nullptr;
    return TYPE.get([&](py::TypeDef& t) {
        t.name("vesk_core._native.Type")
            .doc("Type(t, default=..., default_factory=None, is_noneable=False, frozen=False, "
                 "strict=None)\n--\n\n")
            .base(base)
            .final_()
            .slots({py::slot<Py_tp_new, &type_tp_new>()})
            .vectorcall<&type_vectorcall>()
            .methods(type_methods)
            .getters(type_getters)
            .class_attr("__serialization_key__", "vesk.typing.Type");
    });
}

const KindOps kObjectOps{
    .label = object_label,
    .serialization_key = object_key,
    .py_class = object_class,
    .repr_cacheable = false,
    .default_wrap_threshold = -1,
    .format_items = object_format_items,
    .shortcut = object_shortcut,
    .apply_kind = object_apply_kind,
    .validate = nullptr,
    .deep_clone_payload = nullptr,
    .forward_refs = forward_ref_forward_refs,
    .value_type_obj = object_value_type_obj,
};

const KindOps kTypeOps{
    .label = type_label,
    .serialization_key = type_key,
    .py_class = type_class,
    .repr_cacheable = false,
    .default_wrap_threshold = -1,
    .format_items = type_format_items,
    .shortcut = nullptr,
    .apply_kind = nullptr,
    .validate = validate_subclass,
    .deep_clone_payload = nullptr,
    .forward_refs = forward_ref_forward_refs,
    .value_type_obj = nullptr,
};

}  // namespace vesk::typing
