// Bool: the spec of a bool. It has no options of its own.
#include "py/args.hpp"
#include "py/type.hpp"
#include "typing/value_spec/engine/kind_checks.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"
#include "typing/value_spec/from_json.hpp"
#include "typing/value_spec/primitives/kind_class.hpp"
#include "typing/value_spec/primitives/primitives.hpp"

namespace vesk::typing::primitives {

std::optional<SpecEngine> bool_new(SpecCommon common) {
    return build_base(py::Ref::borrow(reinterpret_cast<PyObject*>(&PyBool_Type)), BoolKind{},
                      std::move(common));
}

namespace {

enum Param : std::size_t { kDefault, kDefaultFactory, kIsNoneable, kFrozen, kStrict, kParamCount };

py::Params<kParamCount> kParams{
    "Bool", {"default", "default_factory", "is_noneable", "frozen", "strict"}, kParamCount, 0};

PyObject* construct(PyTypeObject* type, const py::Args<kParamCount>& a) {
    SpecCommon common;
    if (!convert_common({.default_value = a[kDefault],
                         .default_factory = a[kDefaultFactory],
                         .is_noneable = a[kIsNoneable],
                         .frozen = a[kFrozen],
                         .strict = a[kStrict]},
                        common))
        return nullptr;
    return wrap_built(type, bool_new(std::move(common)));
}

PyObject* bool_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::Args<kParamCount> a;
    if (!py::parse(kParams, args, kwds, a)) return nullptr;
    return construct(type, a);
}

PyObject* bool_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames) {
    py::Args<kParamCount> a;
    if (!py::parse(kParams, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    return construct(reinterpret_cast<PyTypeObject*>(type), a);
}

PyMethodDef methods[] = {
    py::method<&copy<bool_type>>("__copy__"),
    py::method<&deepcopy<bool_type>>("__deepcopy__"),
    py::class_method<&from_json_method<"vesk.typing.Bool", bool_type>>("from_json"),
    py::kMethodsEnd,
};

PyGetSetDef getters[] = {
    py::getter<&skip_user_transform<bool_type>>("skip_user_transform"),
    py::kGettersEnd,
};

const char* bool_label(const SpecKind&) { return "Bool"; }
const char* bool_key(const SpecKind&) { return "vesk.typing.Bool"; }
PyTypeObject* bool_class(const SpecKind&) { return bool_type(); }

}  // namespace

PyTypeObject* bool_type() {
    static py::TypeCell TYPE;
    PyTypeObject* base = spec_base_type();
    if (!base) return nullptr;
    return TYPE.get([&](py::TypeDef& t) {
        t.name("vesk_core._native.Bool")
            .doc("Bool(default=..., default_factory=None, is_noneable=False, frozen=False, "
                 "strict=None)\n--\n\n")
            .base(base)
            .final_()
            .slots({py::slot<Py_tp_new, &bool_tp_new>()})
            .vectorcall<&bool_vectorcall>()
            .methods(methods)
            .getters(getters)
            .class_attr("__serialization_key__", "vesk.typing.Bool");
    });
}

}  // namespace vesk::typing::primitives

namespace vesk::typing {

const KindOps kBoolOps{
    .label = primitives::bool_label,
    .serialization_key = primitives::bool_key,
    .py_class = primitives::bool_class,
    .repr_cacheable = true,
    .default_wrap_threshold = -1,
    .format_items = nullptr,  // the common items in their order
    .shortcut = scalar_shortcut,
    .apply_kind = nullptr,
    .validate = nullptr,
    .deep_clone_payload = nullptr,
    .forward_refs = nullptr,
    .value_type_obj = nullptr,
};

}  // namespace vesk::typing
