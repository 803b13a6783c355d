// Type: the spec of classes. It keeps its argument as given (a class,
// `typing.Any`, a generic alias or a string, with a forward reference for a
// string); its value type is `type` and values are checked through the
// bridge's `is_subclass`.
#include "py/lazy.hpp"
#include "typing/bridge.hpp"
#include "typing/value_spec/engine/apply.hpp"
#include "typing/value_spec/engine/by_name.hpp"
#include "typing/value_spec/engine/format.hpp"
#include "typing/value_spec/engine/forward_refs.hpp"
#include "typing/value_spec/kinds/class_kinds.hpp"
#include "typing/value_spec/kinds.hpp"
#include "typing/value_spec/spec_class/json_write.hpp"
#include "typing/value_spec/spec_class/spec_class.hpp"
#include "typing/value_spec/spec_class/whole_spec.hpp"
#include "typing/value_spec/utilities/texts.hpp"

namespace vesk::typing {

namespace {

// --- construction -------------------------------------------------------------

PyObject* as_object(PyTypeObject* type) noexcept { return reinterpret_cast<PyObject*>(type); }

// `t` is checked in its own order, then the engine is built;
// `common.transform` is dropped: a new Type spec has none.
std::optional<SpecEngine> type_new(PyObject* t, SpecCommon common) {
    py::Ref forward_ref;
    if (PyUnicode_Check(t)) {
        const TypingBridge* bridge = typing_bridge();
        if (!bridge) return std::nullopt;
        forward_ref = make_forward_ref(t);
        if (!forward_ref) return std::nullopt;
    } else {
        PyObject* any;
        if (!py::imported<"typing", "Any">(any)) return std::nullopt;
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

constexpr const char kTypeArgsMessage[] =
    "`vk.typing.Type` requires 1 type argument. Encountered: %U.";

// --- getters ----------------------------------------------------------------

// The class the spec stands for: its forward reference's `cls`, else `t`.
py::Ref type_class(const TypeKind& type) {
    if (!type.forward_ref) return type.t;
    return py::get_attr<"cls">(type.forward_ref.get());
}

PyObject* get_type(const SpecRead& self) {
    const TypeKind* type = kind_as<TypeKind>(self->kind);
    if (!type) return py::new_ref(Py_None);
    return type_class(*type).release();
}

PyMethodDef type_methods[] = {
    py::class_method<&one_type_arg_method<type_type, type_new, kTypeArgsMessage>>(
        "with_type_args", kOneTypeArgParams),
    py::class_method<&one_type_arg_getitem<type_type, type_new, kTypeArgsMessage>>(
        "__class_getitem__", kOneTypeArgItemParams),
    py::kMethodsEnd,
};

PyGetSetDef type_getters[] = {
    py::getter<&get_type>("type", "The desired type (resolving a forward ref)."),
    py::kGettersEnd,
};

struct TypeClass {
    static constexpr py::Literal kName{"Type"};
    static constexpr const char* kParams[] = {
        "t", "default=...", "default_factory=None", "is_noneable=False", "frozen=False",
        "strict=None"};
    static constexpr Py_ssize_t kPositional = 6, kRequired = 1;

    static std::optional<SpecEngine> make(const py::Args<6>& a, SpecCommon common) {
        return type_new(a[py::param_index(kParams, "t")], std::move(common));
    }
    static std::optional<SpecEngine> read_json(const JsonRow& row, SpecCommon common) {
        py::Ref t;
        if (!row.required<"t">("Type json missing 't'.", t)) return std::nullopt;
        return type_new(t.get(), std::move(common));
    }
    static PyMethodDef* methods() { return type_methods; }
    static PyGetSetDef* getters() { return type_getters; }
};

using Class = SpecClass<TypeClass>;

// --- the kind's table ------------------------------------------------------------------

const TypeKind& type_of(const SpecKind& kind) { return std::get<TypeKind>(kind); }

const KindClass& type_class_of(const SpecKind&) { return Class::kClass; }

// Type(t, default, default_factory, noneable, frozen, strict)
bool type_format_items(SpecItems& items) {
    return items.add("", type_of(items.engine().kind).t.get(), Py_None) &&
           common_kind::format_items(items);
}

bool type_write_json(SpecJsonWriter& w, const SpecEngine& e) {
    return w.conv<"t">(type_of(e.kind).t.get()) && w.noneable_strict_frozen(e);
}

// Only once every forward reference is resolved: the bridge's
// `is_subclass(value, base)` with base the forward reference's `cls`, else
// `t`.
int type_validate(const SpecEngine& engine, PyObject* value, PyObject* root_path) {
    const int resolved = type_resolved(engine);
    if (resolved <= 0) return resolved;
    py::Ref base = type_class(type_of(engine.kind));
    if (!base) return -1;
    const int ok = call_is_subclass(value, base.get());
    if (ok) return ok < 0 ? -1 : 0;
    py::Ref path_text = path_text_of(root_path);
    if (!path_text) return -1;
    PyErr_Format(PyExc_ValueError, "%R is not a subclass of %R (path=%S)", value, base.get(),
                 path_text.get());
    return -1;
}

py::Ref type_forward_refs(const SpecEngine& engine) {
    return forward_refs_of_one(type_of(engine.kind).forward_ref.get());
}

// type[X] with X the forward reference's `as_annotation()`, else `t`.
py::Ref type_annotation(const SpecEngine& e) {
    const TypeKind& t = type_of(e.kind);
    py::Ref arg = t.forward_ref ? forward_annotation(t.forward_ref.get()) : t.t;
    return arg ? subscript(reinterpret_cast<PyObject*>(&PyType_Type), arg.get()) : py::Ref();
}

int type_equal(const SpecEngine& engine, PyObject* other) {
    const int resolved = type_resolved(engine);
    if (resolved < 0) return -1;
    if (!resolved) return equal_forward_refs(engine, other);
    py::Ref cls = type_class(type_of(engine.kind));
    if (!cls) return -1;
    return eq_attr<"type">(cls.get(), other);
}

int type_compatible(const SpecEngine& engine, PyObject*, PyObject* other) {
    const int resolved = type_resolved(engine);
    if (resolved != 1) return resolved < 0 ? -1 : 1;
    py::Ref cls = type_class(type_of(engine.kind));
    if (!cls) return -1;
    return compatible_class<"type">(engine, cls.get(), other);
}

// The class itself (`t`, or the forward reference's `cls`); no apply.
PyObject* type_call(const SpecEngine& engine, PyObject*, PyObject*, PyObject*) {
    return type_class(type_of(engine.kind)).release();
}

int type_extend(SpecScope child, PyObject* base) {
    return extend_by_compatibility(child.object(), base, "type");
}

}  // namespace

PyTypeObject* type_type() { return Class::type(); }

constinit const KindOps TypeKind::ops{
    .class_of = type_class_of,
    .repr_cacheable = false,
    .default_wrap_threshold = -1,
    .format_items = type_format_items,
    .write_json = type_write_json,
    .derived_default = kCommon,
    .keep_default_origin = kCommon,
    .shows_default = kCommon,
    .settle_options = kCommon,
    .shortcut = kCommon,
    .coerce = kCommon,
    .apply_kind = kCommon,
    .validate = type_validate,
    .forward_refs = type_forward_refs,
    .value_type_obj = kCommon,
    .annotation = type_annotation,
    .optional_when_noneable = true,
    .leaf = kCommon,
    .descends = false,
    .constrains = true,
    .strict_children = kCommon,
    .deep_clone_payload = kCommon,
    .equal = type_equal,
    .compatible_first = kCommon,
    .compatible = type_compatible,
    .call = type_call,
    .noneable = kCommon,
    .extend = type_extend,
};

}  // namespace vesk::typing
