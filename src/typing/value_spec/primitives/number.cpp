// Int and Float: specs of integers and floats with an optional inclusive
// range. Both share the Number payload; `is_float` tells them apart.
#include "py/args.hpp"
#include "py/type.hpp"
#include "typing/value_spec/engine/kind_checks.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"
#include "typing/value_spec/format.hpp"
#include "typing/value_spec/from_json.hpp"
#include "typing/value_spec/primitives/kind_class.hpp"
#include "typing/value_spec/primitives/primitives.hpp"
#include "typing/value_spec/utils.hpp"

namespace vesk::typing::primitives {

std::optional<SpecEngine> number_base(bool is_float, Bounds bounds, SpecCommon common) {
    if (!check_bound_order(bounds)) return std::nullopt;
    PyTypeObject* value_type = is_float ? &PyFloat_Type : &PyLong_Type;
    return build_base(py::Ref::borrow(reinterpret_cast<PyObject*>(value_type)),
                      NumberKind{std::move(bounds.min), std::move(bounds.max), is_float},
                      std::move(common));
}

std::optional<SpecEngine> number_new(bool is_float, const BoundArgs& args, SpecCommon common) {
    Bounds bounds;
    if (!fold_bound_aliases(is_float, args, bounds)) return std::nullopt;
    return number_base(is_float, std::move(bounds), std::move(common));
}

namespace {

// --- construction -------------------------------------------------------------

enum Param : std::size_t {
    kDefault, kDefaultFactory, kMinValue, kMaxValue, kIsNoneable, kFrozen, kStrict,
    kGt, kGe, kLt, kLe, kParamCount,
};

#define VESK_NUMBER_PARAMS                                                                    \
    {"default", "default_factory", "min_value", "max_value", "is_noneable", "frozen", "strict", \
     "gt", "ge", "lt", "le"}

py::Params<kParamCount> kIntParams{"Int", VESK_NUMBER_PARAMS, kParamCount, 0};
py::Params<kParamCount> kFloatParams{"Float", VESK_NUMBER_PARAMS, kParamCount, 0};

#undef VESK_NUMBER_PARAMS

PyObject* construct(PyTypeObject* type, bool is_float, const py::Args<kParamCount>& a) {
    SpecCommon common;
    if (!convert_common({.default_value = a[kDefault],
                         .default_factory = a[kDefaultFactory],
                         .is_noneable = a[kIsNoneable],
                         .frozen = a[kFrozen],
                         .strict = a[kStrict]},
                        common))
        return nullptr;
    const BoundArgs bounds{
        .min_value = none_as_omitted(a[kMinValue]),
        .max_value = none_as_omitted(a[kMaxValue]),
        .gt = none_as_omitted(a[kGt]),
        .ge = none_as_omitted(a[kGe]),
        .lt = none_as_omitted(a[kLt]),
        .le = none_as_omitted(a[kLe]),
    };
    return wrap_built(type, number_new(is_float, bounds, std::move(common)));
}

template <bool IsFloat>
PyObject* number_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::Args<kParamCount> a;
    if (!py::parse(IsFloat ? kFloatParams : kIntParams, args, kwds, a)) return nullptr;
    return construct(type, IsFloat, a);
}

template <bool IsFloat>
PyObject* number_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    py::Args<kParamCount> a;
    if (!py::parse(IsFloat ? kFloatParams : kIntParams, args, PyVectorcall_NARGS(nargsf),
                   kwnames, a))
        return nullptr;
    return construct(reinterpret_cast<PyTypeObject*>(type), IsFloat, a);
}

// --- type arguments -------------------------------------------------------------

py::Params<1> kIntTypeArgs{"with_type_args", {"type_args"}, 1, 1};
py::Params<1> kFloatTypeArgs{"with_type_args", {"type_args"}, 1, 1};

// `Int[min, max]`: exactly two items, None meaning unbounded; no alias
// folding and no type test.
template <bool IsFloat>
PyObject* with_type_args(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(IsFloat ? kFloatTypeArgs : kIntTypeArgs, args, nargs, kwnames, a))
        return nullptr;
    PyTypeObject* type = IsFloat ? float_type() : int_type();
    if (!type) return nullptr;
    py::Ref items = as_type_args(a[0]);
    if (!items) return nullptr;
    if (PyTuple_GET_SIZE(items.get()) != 2) {
        PyErr_Format(PyExc_TypeError,
                     "`vk.typing.%s` requires 2 arguments as the min value and the max value "
                     "for the field. Encountered: %R",
                     IsFloat ? "Float" : "Int", a[0]);
        return nullptr;
    }
    Bounds bounds{py::Ref::borrow(none_as_omitted(PyTuple_GET_ITEM(items.get(), 0))),
                  py::Ref::borrow(none_as_omitted(PyTuple_GET_ITEM(items.get(), 1)))};
    return wrap_built(type, number_base(IsFloat, std::move(bounds), defaults()));
}

// Int.from_json / Float.from_json: the bounds are folded and checked as in
// a constructor call.
template <bool IsFloat>
PyObject* from_json(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if constexpr (IsFloat)
        return from_json_method<"vesk.typing.Float", float_type>(cls, args, nargs, kwnames);
    else
        return from_json_method<"vesk.typing.Int", int_type>(cls, args, nargs, kwnames);
}

// --- getters ----------------------------------------------------------------------

template <bool Max>
PyObject* get_bound(PyObject* self) {
    py::SharedBorrow hold(spec_borrow(self));
    if (!hold.acquire()) return nullptr;
    const NumberKind* number = kind_as<NumberKind>(spec_engine(self).kind);
    PyObject* bound = number ? (Max ? number->max_value.get() : number->min_value.get()) : nullptr;
    return py::new_ref(bound ? bound : Py_None);
}

// --- the classes ------------------------------------------------------------------

constexpr const char kIntDoc[] =
    "Int(default=..., default_factory=None, min_value=None, max_value=None, is_noneable=False, "
    "frozen=False, strict=None, gt=None, ge=None, lt=None, le=None)\n--\n\n";
constexpr const char kFloatDoc[] =
    "Float(default=..., default_factory=None, min_value=None, max_value=None, "
    "is_noneable=False, frozen=False, strict=None, gt=None, ge=None, lt=None, le=None)\n--\n\n";

template <bool IsFloat>
PyMethodDef* methods() {
    constexpr TypeFn kType = IsFloat ? float_type : int_type;
    static PyMethodDef table[] = {
        py::method<&copy<kType>>("__copy__"),
        py::method<&deepcopy<kType>>("__deepcopy__"),
        py::class_method<&from_json<IsFloat>>("from_json"),
        py::class_method<&with_type_args<IsFloat>>("with_type_args"),
        py::class_method<&with_type_args<IsFloat>>("__class_getitem__"),
        py::kMethodsEnd,
    };
    return table;
}

template <bool IsFloat>
PyGetSetDef* getters() {
    constexpr TypeFn kType = IsFloat ? float_type : int_type;
    static PyGetSetDef table[] = {
        py::getter<&skip_user_transform<kType>>("skip_user_transform"),
        py::getter<&get_bound<false>>("min_value"),
        py::getter<&get_bound<true>>("max_value"),
        py::getter<&get_bound<false>>("_min_value"),
        py::getter<&get_bound<true>>("_max_value"),
        py::kGettersEnd,
    };
    return table;
}

template <bool IsFloat>
void declare(py::TypeDef& t, PyTypeObject* base) {
    t.name(IsFloat ? "vesk_core._native.Float" : "vesk_core._native.Int")
        .doc(IsFloat ? kFloatDoc : kIntDoc)
        .base(base)
        .final_()
        .slots({py::slot<Py_tp_new, &number_tp_new<IsFloat>>()})
        .template vectorcall<&number_vectorcall<IsFloat>>()
        .methods(methods<IsFloat>())
        .getters(getters<IsFloat>())
        .class_attr("__serialization_key__",
                    IsFloat ? "vesk.typing.Float" : "vesk.typing.Int");
}

// --- engine entry ------------------------------------------------------------------

const NumberKind& number_of(const SpecKind& kind) { return std::get<NumberKind>(kind); }

// Int(default, default_factory, min, max, noneable, frozen, strict)
bool number_format_items(SpecItems& items) {
    const NumberKind& number = number_of(items.engine().kind);
    return items.add_default() && items.add_default_factory() &&
           items.add("min", number.min_value.get(), Py_None) &&
           items.add("max", number.max_value.get(), Py_None) && items.add_noneable() &&
           items.add_frozen() && items.add_strict();
}

const char* number_label(const SpecKind& kind) {
    return number_of(kind).is_float ? "Float" : "Int";
}
const char* number_key(const SpecKind& kind) {
    return number_of(kind).is_float ? "vesk.typing.Float" : "vesk.typing.Int";
}
PyTypeObject* number_class(const SpecKind& kind) {
    return number_of(kind).is_float ? float_type() : int_type();
}

}  // namespace

PyTypeObject* int_type() {
    static py::TypeCell TYPE;
    PyTypeObject* base = spec_base_type();
    if (!base) return nullptr;
    return TYPE.get([&](py::TypeDef& t) { declare<false>(t, base); });
}

PyTypeObject* float_type() {
    static py::TypeCell TYPE;
    PyTypeObject* base = spec_base_type();
    if (!base) return nullptr;
    return TYPE.get([&](py::TypeDef& t) { declare<true>(t, base); });
}

}  // namespace vesk::typing::primitives

namespace vesk::typing {

const KindOps kNumberOps{
    .label = primitives::number_label,
    .serialization_key = primitives::number_key,
    .py_class = primitives::number_class,
    .repr_cacheable = true,
    .default_wrap_threshold = -1,
    .format_items = primitives::number_format_items,
    .shortcut = scalar_shortcut,
    .apply_kind = nullptr,
    .validate = validate_range,
    .deep_clone_payload = nullptr,
    .forward_refs = nullptr,
    .value_type_obj = nullptr,
};

}  // namespace vesk::typing
