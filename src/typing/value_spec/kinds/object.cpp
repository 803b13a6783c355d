// Object: the spec of instances of a class. It keeps the class it was
// given, or a forward reference for a class named by a string (the string
// stays the stored value type) or given as a forward-reference object. A
// forward reference is resolved at every use, through its `cls` attribute,
// and the class is never cached, so a spec made before the package
// registered the class follows it once it does.
#include "py/errors.hpp"
#include "py/named.hpp"
#include "typing/bridge.hpp"
#include "typing/funnel/funnel.hpp"
#include "typing/markers.hpp"
#include "typing/value_spec/engine/apply.hpp"
#include "typing/value_spec/engine/by_name.hpp"
#include "typing/value_spec/engine/format.hpp"
#include "typing/value_spec/engine/forward_refs.hpp"
#include "typing/value_spec/kinds/class_kinds.hpp"
#include "typing/value_spec/kinds.hpp"
#include "typing/value_spec/spec_class/call.hpp"
#include "typing/value_spec/spec_class/json_write.hpp"
#include "typing/value_spec/spec_class/spec_class.hpp"
#include "typing/value_spec/spec_class/whole_spec.hpp"

namespace vesk::typing {

namespace {

// --- construction -------------------------------------------------------------

PyObject* as_object(PyTypeObject* type) noexcept { return reinterpret_cast<PyObject*>(type); }

// Whether `t` carries a truthy `__no_type_check__`; a failing read counts as
// absent, a failing truth test propagates. 1, 0 or -1.
int no_type_check(PyObject* t) {
    PyObject* name;
    if (!py::intern<"__no_type_check__">(name)) return -1;
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
        PyObject* object;
        if (!py::imported<"builtins", "object">(object)) return {};
        if (t == object) {
            PyErr_SetString(PyExc_TypeError, "<class 'object'> is too general for Object spec.");
            return {};
        }
        return py::Ref::borrow(t);
    }
    const int unchecked = no_type_check(t);
    if (unchecked < 0) return {};
    if (unchecked) {
        PyObject* object;
        if (!py::imported<"builtins", "object">(object)) return {};
        return py::Ref::borrow(object);
    }
    const int generic = call_is_generic(t);
    if (generic < 0) return {};
    if (generic) return py::Ref::borrow(t);
    PyErr_Format(PyExc_TypeError,
                 "\"cls\" for Object spec should be a type or str. Encountered: %R.", t);
    return {};
}

// `t` is checked in its own order, then the engine is built.
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
        forward_ref = make_forward_ref(t);
        if (!forward_ref) return std::nullopt;
        value_type = py::Ref::borrow(t);
    } else {
        value_type = object_class_of(t);
        if (!value_type) return std::nullopt;
    }
    return build_base(std::move(value_type), ObjectKind{std::move(forward_ref)},
                      std::move(common));
}

constexpr const char kTypeArgsMessage[] =
    "`vk.typing.Object` requires 1 type argument. Encountered: %U";

// --- getters ----------------------------------------------------------------

// The class, resolved through the forward reference at every call.
py::Ref resolved_class(const SpecEngine& engine) {
    const ObjectKind* object = kind_as<ObjectKind>(engine.kind);
    if (object && object->forward_ref) return py::get_attr<"cls">(object->forward_ref.get());
    return engine.value_type;
}

PyObject* get_cls(const SpecRead& self) {
    py::Ref cls = resolved_class(*self);
    if (!cls && !PyErr_Occurred()) cls = py::Ref::borrow(Py_None);
    return cls.release();
}

// `getattr(cls, '__schema__', None)`, where only a missing attribute gives
// None: any other failure of the read is the caller's to see.
PyObject* get_schema(const SpecRead& self) {
    py::Ref cls = resolved_class(*self);
    if (!cls) return PyErr_Occurred() ? nullptr : py::new_ref(Py_None);
    py::Ref found;
    if (py::get_optional_attr<"__schema__">(cls.get(), found) < 0) return nullptr;
    return found ? found.release() : py::new_ref(Py_None);
}

PyMethodDef object_methods[] = {
    py::class_method<&one_type_arg_method<object_type, object_new, kTypeArgsMessage>>(
        "with_type_args", kOneTypeArgParams),
    py::class_method<&one_type_arg_getitem<object_type, object_new, kTypeArgsMessage>>(
        "__class_getitem__", kOneTypeArgItemParams),
    py::kMethodsEnd,
};

PyGetSetDef object_getters[] = {
    py::getter<&get_cls>("cls", "The (resolved) class of this Object spec."),
    py::getter<&get_schema>("schema", "`getattr(self.value_type, '__schema__', None)`."),
    py::kGettersEnd,
};

struct ObjectClass {
    static constexpr py::Literal kName{"Object"};
    static constexpr const char* kParams[] = {
        "t", "default=...", "default_factory=None", "transform=None", "is_noneable=False",
        "frozen=False", "strict=None"};
    static constexpr Py_ssize_t kPositional = 7, kRequired = 1;

    static std::optional<SpecEngine> make(const py::Args<7>& a, SpecCommon common) {
        return object_new(a[py::param_index(kParams, "t")], std::move(common));
    }
    static std::optional<SpecEngine> read_json(const JsonRow& row, SpecCommon common) {
        py::Ref t;
        if (!row.required<"t">("Object json missing 't'.", t) || !row.transform(common))
            return std::nullopt;
        return object_new(t.get(), std::move(common));
    }
    static PyMethodDef* methods() { return object_methods; }
    static PyGetSetDef* getters() { return object_getters; }
};

using Class = SpecClass<ObjectClass>;

// --- the kind's table ------------------------------------------------------------------

const ObjectKind& object_of(const SpecKind& kind) { return std::get<ObjectKind>(kind); }

const KindClass& object_class_of(const SpecKind&) { return Class::kClass; }

// The name shown for the class: the forward reference's name, the class's
// `__name__`, or the bridge's display name of the value type.
py::Ref object_display_name(const SpecEngine& engine, const TypingBridge& bridge) {
    const ObjectKind& object = object_of(engine.kind);
    if (object.forward_ref) return py::get_attr<"name">(object.forward_ref.get());
    PyObject* vt = engine.value_type.get();
    if (!vt) {
        py::raise_internal("resolved Object has a value_type");
        return {};
    }
    if (PyType_Check(vt)) return py::get_attr<"__name__">(vt);
    return py::Ref::steal(PyObject_CallOneArg(bridge.type_display_name.get(), vt));
}

// Object(<class name>, default, default_factory, noneable, frozen, strict)
bool object_format_items(SpecItems& items) {
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return false;
    py::Ref name = object_display_name(items.engine(), *bridge);
    if (!name) return false;
    py::Ref shown = py::Ref::steal(PyObject_CallOneArg(bridge->raw_text_cls.get(), name.get()));
    return shown && items.add("", shown.get(), Py_None) && common_kind::format_items(items);
}

// The value type to check against: the forward reference's `cls`, else the
// stored value type.
py::Ref object_value_type_obj(const SpecEngine& engine) { return resolved_class(engine); }

// The class, resolved; a spec that resolves to none is an internal error.
py::Ref class_or_internal_error(const SpecEngine& e) {
    py::Ref cls;
    if (value_type_obj(e, cls) < 0) return {};
    if (!cls) py::raise_internal("Object resolves to a class");
    return cls;
}

bool object_write_json(SpecJsonWriter& w, const SpecEngine& e) {
    py::Ref cls = class_or_internal_error(e);
    return cls && w.conv<"t">(cls.get()) && w.conv_if<"transform">(e.transform) &&
           w.noneable_strict_frozen(e);
}

Shortcut object_shortcut(const SpecEngine& engine, PyObject*, PyObject* value,
                         ApplyOptions& options, py::Ref& out) {
    if (!engine.is_plain() || !engine.value_type) return Shortcut::Undecided;
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

py::Ref object_forward_refs(const SpecEngine& engine) {
    return forward_refs_of_one(object_of(engine.kind).forward_ref.get());
}

// The forward reference's `as_annotation()`, else the class.
py::Ref object_annotation(const SpecEngine& e) {
    const ObjectKind& o = object_of(e.kind);
    if (o.forward_ref) return forward_annotation(o.forward_ref.get());
    if (e.value_type) return e.value_type;
    py::raise_internal("resolved Object has a value_type");
    return {};
}

// Resolved: the class `==` `other.value_type` (a receiver without one equals
// only None); unresolved: the forward references.
int object_equal(const SpecEngine& engine, PyObject* other) {
    const int resolved = type_resolved(engine);
    if (resolved < 0) return -1;
    if (!resolved) return equal_forward_refs(engine, other);
    py::Ref cls;
    if (value_type_obj(engine, cls) < 0) return -1;
    py::Ref theirs = py::get_attr<"value_type">(other);
    if (!theirs) return -1;
    if (!cls) return theirs.get() == Py_None ? 1 : 0;
    return py_eq(cls.get(), theirs.get());
}

int object_compatible(const SpecEngine& engine, PyObject*, PyObject* other) {
    const int resolved = type_resolved(engine);
    if (resolved != 1) return resolved < 0 ? -1 : 1;
    py::Ref cls = class_or_internal_error(engine);
    if (!cls) return -1;
    return compatible_class<"cls">(engine, cls.get(), other);
}

// An instance of the class made from the arguments, applied.
PyObject* object_call(const SpecEngine& engine, PyObject* self, PyObject* args,
                      PyObject* kwargs) {
    py::Ref cls = class_or_internal_error(engine);
    if (!cls) return nullptr;
    return apply_made(engine, self, py::Ref::steal(PyObject_Call(cls.get(), args, kwargs)))
        .release();
}

int object_extend(SpecScope child, PyObject* base) {
    return extend_by_compatibility(child.object(), base, "class");
}

}  // namespace

PyTypeObject* object_type() { return Class::type(); }

NativeAnswer plain_object_class(PyObject* spec, py::Ref& cls) {
    if (!is_spec(spec)) return NativeAnswer::NotNative;
    SpecRead r(spec);
    if (!r) return NativeAnswer::Error;
    if (!kind_as<ObjectKind>(r->kind) || !r->is_plain() || !r->value_type) return NativeAnswer::No;
    cls = r->value_type;
    return NativeAnswer::Yes;
}

constinit const KindOps ObjectKind::ops{
    .class_of = object_class_of,
    .repr_cacheable = false,
    .default_wrap_threshold = -1,
    .format_items = object_format_items,
    .write_json = object_write_json,
    .derived_default = kCommon,
    .keep_default_origin = kCommon,
    .shows_default = kCommon,
    .settle_options = kCommon,
    .shortcut = object_shortcut,
    .coerce = kCommon,
    .apply_kind = object_apply_kind,
    .validate = kCommon,
    .forward_refs = object_forward_refs,
    .value_type_obj = object_value_type_obj,
    .annotation = object_annotation,
    .optional_when_noneable = true,
    .leaf = kCommon,
    .descends = true,
    .constrains = false,
    .strict_children = kCommon,  // the class's fields are the class's affair
    .deep_clone_payload = kCommon,
    .equal = object_equal,
    .compatible_first = kCommon,
    .compatible = object_compatible,
    .call = object_call,
    .noneable = kCommon,
    .extend = object_extend,
};

}  // namespace vesk::typing
