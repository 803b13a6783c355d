// Any: accepts every value (None included) and keeps an optional annotation
// for the typing layer; the only kind with a mutator of its own, `annotate`.
#include "py/args.hpp"
#include "py/type.hpp"
#include "typing/bridge.hpp"
#include "typing/value_spec/engine/kind_checks.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"
#include "typing/value_spec/format.hpp"
#include "typing/value_spec/from_json.hpp"
#include "typing/value_spec/primitives/kind_class.hpp"
#include "typing/value_spec/primitives/primitives.hpp"
#include "typing/value_spec/spec_base.hpp"
#include "typing/value_spec/utils.hpp"

namespace vesk::typing::primitives {

std::optional<SpecEngine> any_new(PyObject* annotation, SpecCommon common) {
    common.is_noneable = true;
    return build_base(py::Ref::borrow(builtin_object_type()),
                      AnyKind{py::Ref::borrow(annotation)}, std::move(common));
}

namespace {

enum Param : std::size_t {
    kDefault, kDefaultFactory, kAnnotation, kTransform, kFrozen, kStrict, kParamCount,
};

py::Params<kParamCount> kParams{
    "Any",
    {"default", "default_factory", "annotation", "transform", "frozen", "strict"},
    kParamCount,
    0};

PyObject* construct(PyTypeObject* type, const py::Args<kParamCount>& a) {
    SpecCommon common;
    if (!convert_common({.default_value = a[kDefault],
                         .default_factory = a[kDefaultFactory],
                         .transform = a[kTransform],
                         .frozen = a[kFrozen],
                         .strict = a[kStrict]},
                        common))
        return nullptr;
    // Unlike the other options, an explicit None annotation is kept as None.
    PyObject* annotation = a[kAnnotation];
    if (!annotation) {
        const TypingBridge* bridge = typing_bridge();
        if (!bridge) return nullptr;
        annotation = bridge->missing_value.get();
    }
    return wrap_built(type, any_new(annotation, std::move(common)));
}

PyObject* any_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::Args<kParamCount> a;
    if (!py::parse(kParams, args, kwds, a)) return nullptr;
    return construct(type, a);
}

PyObject* any_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                         PyObject* kwnames) {
    py::Args<kParamCount> a;
    if (!py::parse(kParams, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    return construct(reinterpret_cast<PyTypeObject*>(type), a);
}

// Replaces the annotation in place, under the exclusive hold; nothing is
// validated again. Refused while any other operation holds the spec.
PyObject* annotate(PyObject* self, PyObject* annotation) {
    py::Ref previous;  // released after the hold, outside it
    {
        py::ExclusiveBorrow hold(spec_borrow(self));
        if (!begin_mutation(hold)) return nullptr;
        SpecEngine& engine = spec_engine(self);
        AnyKind* any = kind_as<AnyKind>(engine.kind);
        if (!any) {
            py::raise_internal("annotate on a spec that is not an Any");
            return nullptr;
        }
        previous = std::exchange(any->annotation, py::Ref::borrow(annotation));
        engine.repr_cache.clear();
    }
    return py::new_ref(self);
}

PyObject* get_annotation(PyObject* self) {
    py::SharedBorrow hold(spec_borrow(self));
    if (!hold.acquire()) return nullptr;
    const AnyKind* any = kind_as<AnyKind>(spec_engine(self).kind);
    return py::new_ref(any ? any->annotation.get() : Py_None);
}

PyMethodDef methods[] = {
    py::method<&copy<any_type>>("__copy__"),
    py::method<&deepcopy<any_type>>("__deepcopy__"),
    py::class_method<&from_json_method<"vesk.typing.Any", any_type>>("from_json"),
    py::method<&annotate>("annotate"),
    py::kMethodsEnd,
};

PyGetSetDef getters[] = {
    py::getter<&skip_user_transform<any_type>>("skip_user_transform"),
    py::getter<&get_annotation>("_annotation"),
    py::kGettersEnd,
};

// Any(default, default_factory, frozen, strict, annotation): always
// noneable, so that is not shown; the annotation comes last.
bool any_format_items(SpecItems& items) {
    const AnyKind& any = std::get<AnyKind>(items.engine().kind);
    return items.add_default() && items.add_default_factory() && items.add_frozen() &&
           items.add_strict() &&
           items.add("annotation", any.annotation.get(), items.missing_value());
}

const char* any_label(const SpecKind&) { return "Any"; }
const char* any_key(const SpecKind&) { return "vesk.typing.Any"; }
PyTypeObject* any_class(const SpecKind&) { return any_type(); }

// A deep copy gets its own annotation, copied through the memo.
int any_deep_clone(SpecEngine& copy, PyObject* memo) {
    AnyKind& any = std::get<AnyKind>(copy.kind);
    py::Ref copied = deep_copy(any.annotation.get(), memo);
    if (!copied) return -1;
    any.annotation = std::move(copied);
    return 0;
}

}  // namespace

PyTypeObject* any_type() {
    static py::TypeCell TYPE;
    PyTypeObject* base = spec_base_type();
    if (!base) return nullptr;
    return TYPE.get([&](py::TypeDef& t) {
        t.name("vesk_core._native.Any")
            .doc("Any(default=..., default_factory=None, annotation=..., transform=None, "
                 "frozen=False, strict=None)\n--\n\n")
            .base(base)
            .final_()
            .slots({py::slot<Py_tp_new, &any_tp_new>()})
            .vectorcall<&any_vectorcall>()
            .methods(methods)
            .getters(getters)
            .class_attr("__serialization_key__", "vesk.typing.Any");
    });
}

}  // namespace vesk::typing::primitives

namespace vesk::typing {

const KindOps kAnyOps{
    .label = primitives::any_label,
    .serialization_key = primitives::any_key,
    .py_class = primitives::any_class,
    .repr_cacheable = false,
    .default_wrap_threshold = -1,
    .format_items = primitives::any_format_items,
    .shortcut = scalar_shortcut,
    .apply_kind = nullptr,
    .validate = nullptr,
    .deep_clone_payload = primitives::any_deep_clone,
    .forward_refs = nullptr,
    .value_type_obj = nullptr,
};

}  // namespace vesk::typing
