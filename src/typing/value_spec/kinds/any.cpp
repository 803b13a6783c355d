// Any: accepts every value (None included) and keeps an optional annotation
// for the typing layer; the only kind with a mutator of its own, `annotate`.
#include "py/errors.hpp"
#include "typing/bridge.hpp"
#include "typing/markers.hpp"
#include "typing/value_spec/engine/by_name.hpp"
#include "typing/value_spec/engine/format.hpp"
#include "typing/value_spec/kinds.hpp"
#include "typing/value_spec/kinds/leaf_shortcuts.hpp"
#include "typing/value_spec/spec_class/call.hpp"
#include "typing/value_spec/spec_class/json_write.hpp"
#include "typing/value_spec/spec_class/spec_class.hpp"
#include "typing/value_spec/utilities/type_args.hpp"

namespace vesk::typing {

namespace {

// `annotation` is stored as given (the bridge's missing value for none).
// The spec is always noneable, whatever `common` says.
std::optional<SpecEngine> any_new(PyObject* annotation, SpecCommon common) {
    common.is_noneable = true;
    return build_base(py::Ref::borrow(builtin_object_type()),
                      AnyKind{py::Ref::borrow(annotation)}, std::move(common));
}

py::Params<1> kAnnotateParams{"annotate", {"annotation"}, 1, 1};

// Replaces the annotation in place, under the exclusive hold; nothing is
// validated again. Refused while any other operation holds the spec.
PyObject* annotate(SpecScope self, PyObject* annotation) {
    py::Ref previous;  // released after the hold
    {
        auto w = self.exclusive<py::Refuse::Mutation>();
        if (!w) return w.refusal();
        AnyKind* any = kind_as<AnyKind>(w->kind);
        if (!any) {
            py::raise_internal("annotate on a spec that is not an Any");
            return nullptr;
        }
        previous = std::exchange(any->annotation, py::Ref::borrow(annotation));
    }
    return py::new_ref(self.object());
}

PyObject* get_annotation(const SpecRead& self) {
    const AnyKind* any = kind_as<AnyKind>(self->kind);
    return py::new_ref(any ? any->annotation.get() : Py_None);
}

PyMethodDef any_methods[] = {
    py::method<&annotate>("annotate", kAnnotateParams),
    py::kMethodsEnd,
};

PyGetSetDef any_getters[] = {
    py::getter<&get_annotation>("_annotation"),
    py::kGettersEnd,
};

struct AnyClass {
    static constexpr py::Literal kName{"Any"};
    static constexpr const char* kParams[] = {
        "default=...", "default_factory=None", "annotation=...", "transform=None",
        "frozen=False", "strict=None"};
    static constexpr Py_ssize_t kPositional = 6, kRequired = 0;
    static constexpr std::size_t kAnnotation = py::param_index(kParams, "annotation");

    // Unlike the other options, an explicit None annotation is kept as None.
    static std::optional<SpecEngine> make(const py::Args<6>& a, SpecCommon common) {
        PyObject* annotation = a[kAnnotation];
        if (!annotation) {
            const TypingBridge* bridge = typing_bridge();
            if (!bridge) return std::nullopt;
            annotation = bridge->missing_value.get();
        }
        return any_new(annotation, std::move(common));
    }
    static std::optional<SpecEngine> read_json(const JsonRow& row, SpecCommon common) {
        py::Ref annotation;
        if (!row.field<"annotation">(annotation) || !row.transform(common)) return std::nullopt;
        if (!annotation) {
            const TypingBridge* bridge = typing_bridge();
            if (!bridge) return std::nullopt;
            annotation = bridge->missing_value;
        }
        return any_new(annotation.get(), std::move(common));
    }
    static PyMethodDef* methods() { return any_methods; }
    static PyGetSetDef* getters() { return any_getters; }
};

using Class = SpecClass<AnyClass>;

// --- the kind's table ------------------------------------------------------------------

const AnyKind& any_of(const SpecKind& kind) { return std::get<AnyKind>(kind); }

const KindClass& any_class_of(const SpecKind&) { return Class::kClass; }

// Any(default, default_factory, frozen, strict, annotation): always
// noneable, so that is not shown; the annotation comes last.
bool any_format_items(SpecItems& items) {
    return items.add_default() && items.add_default_factory() && items.add_frozen() &&
           items.add_strict() &&
           items.add("annotation", any_of(items.engine().kind).annotation.get(),
                     items.missing_value());
}

bool any_write_json(SpecJsonWriter& w, const SpecEngine& e) {
    PyObject* annotation = any_of(e.kind).annotation.get();
    const int missing = is_missing(annotation);
    if (missing < 0) return false;
    return (missing || w.conv<"annotation">(annotation)) && w.conv_if<"transform">(e.transform) &&
           w.frozen_strict(e);
}

// Any accepts nearly everything as it is; only values that the full road
// treats specially (missing values, custom typing) go on.
Shortcut any_shortcut(const SpecEngine& engine, PyObject*, PyObject* value, ApplyOptions&,
                      py::Ref& out) {
    if (!leaf_shortcut_applies(engine)) return Shortcut::Undecided;
    if (Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(engine.value_type.get()) ||
        is_any_fast_type(value, true))
        return accept_as_is(value, out);
    const int missing = is_missing(value);
    if (missing) return missing < 0 ? Shortcut::Error : Shortcut::Undecided;
    const int custom = is_custom_typing(value);
    if (custom) return custom < 0 ? Shortcut::Error : Shortcut::Undecided;
    return accept_as_is(value, out);
}

// The annotation given, unchanged (a missing value when none was given).
py::Ref any_annotation(const SpecEngine& e) { return any_of(e.kind).annotation; }

Leaf any_leaf(const SpecKind&) { return Leaf::Exact; }

// A deep copy gets its own annotation, copied through the memo.
int any_deep_clone(SpecEngine& copy, PyObject* memo) {
    AnyKind& any = std::get<AnyKind>(copy.kind);
    py::Ref copied = deep_copy(any.annotation.get(), memo);
    if (!copied) return -1;
    any.annotation = std::move(copied);
    return 0;
}

int any_equal(const SpecEngine& engine, PyObject* other) {
    return eq_attr<"annotation">(any_of(engine.kind).annotation.get(), other);
}

Decision any_compatible_first(const SpecEngine&, PyObject*, PyObject*) { return Decision::Yes; }

}  // namespace

PyTypeObject* any_type() { return Class::type(); }

constinit const KindOps AnyKind::ops{
    .class_of = any_class_of,
    .repr_cacheable = false,
    .default_wrap_threshold = -1,
    .format_items = any_format_items,
    .write_json = any_write_json,
    .derived_default = kCommon,
    .keep_default_origin = kCommon,
    .shows_default = kCommon,
    .settle_options = kCommon,
    .shortcut = any_shortcut,
    .coerce = kCommon,
    .apply_kind = kCommon,
    .validate = kCommon,
    .forward_refs = kCommon,
    .value_type_obj = kCommon,
    .annotation = any_annotation,
    // Always noneable: its annotation says what it was given.
    .optional_when_noneable = false,
    .leaf = any_leaf,
    .descends = false,
    .constrains = false,
    .strict_children = kCommon,
    .deep_clone_payload = any_deep_clone,
    .equal = any_equal,
    .compatible_first = any_compatible_first,
    .compatible = kCommon,  // never reached: Any is compatible with everything
    .call = refuse_call,
    .noneable = kCommon,
    .extend = kCommon,  // nothing to narrow
};

}  // namespace vesk::typing
