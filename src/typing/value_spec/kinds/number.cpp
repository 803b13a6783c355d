// Int and Float: specs of integers and floats with an optional inclusive
// range. Both share the Number payload; `is_float` tells them apart.
//
// Bounds are kept as the objects given: they are neither converted nor type
// checked; the only test made on them is the order test when both exist.
#include "typing/value_spec/engine/by_name.hpp"
#include "typing/value_spec/engine/format.hpp"
#include "typing/value_spec/kinds.hpp"
#include "typing/value_spec/kinds/leaf_shortcuts.hpp"
#include "typing/value_spec/utilities/number_compare.hpp"
#include "typing/value_spec/spec_class/extend_support.hpp"
#include "typing/value_spec/spec_class/json_write.hpp"
#include "typing/value_spec/spec_class/spec_class.hpp"
#include "typing/value_spec/spec_class/whole_spec.hpp"
#include "typing/value_spec/utilities/texts.hpp"
#include "typing/value_spec/utilities/type_args.hpp"

#include <string>

namespace vesk::typing {

namespace {

// --- the range as given, and the folding of its aliases ----------------------

// Borrowed pointers, null when omitted (an explicit None counts as omitted).
struct BoundArgs {
    PyObject* min_value = nullptr;
    PyObject* max_value = nullptr;
    PyObject* gt = nullptr;
    PyObject* ge = nullptr;
    PyObject* lt = nullptr;
    PyObject* le = nullptr;
};

struct Bounds {
    py::Ref min;  // null: unbounded below
    py::Ref max;  // null: unbounded above
};

// The names of one side of the range: the plain bound and its two aliases.
struct Side {
    const char* plain;      // "min_value" / "max_value"
    const char* inclusive;  // "ge" / "le"
    const char* exclusive;  // "gt" / "lt"
    long step;              // +1 / -1: the exclusive-to-inclusive rewrite
};

constexpr Side kLower{"min_value", "ge", "gt", 1};
constexpr Side kUpper{"max_value", "le", "lt", -1};

void raise_value_error(const std::string& text) {
    // The texts may hold non-ASCII characters, which the formatting
    // functions of the C API refuse in their format string.
    py::Ref msg = py::Ref::steal(PyUnicode_DecodeUTF8(text.data(),
                                                      static_cast<Py_ssize_t>(text.size()),
                                                      nullptr));
    if (msg) PyErr_SetObject(PyExc_ValueError, msg.get());
}

bool fold_side(const char* kind, bool is_float, const Side& side, PyObject* plain,
               PyObject* exclusive, PyObject* inclusive, py::Ref& out) {
    if (!exclusive && !inclusive) {
        out = py::Ref::borrow(plain);
        return true;
    }
    const std::string k(kind);
    if (plain) {
        raise_value_error(k + ": `" + side.plain + "` and its aliases (`" + side.inclusive + "`/`" +
                          side.exclusive + "`) are mutually exclusive. Use one spelling.");
        return false;
    }
    if (exclusive && inclusive) {
        raise_value_error(k + ": `" + side.inclusive + "` and `" + side.exclusive +
                          "` are mutually exclusive.");
        return false;
    }
    if (inclusive) {
        out = py::Ref::borrow(inclusive);
        return true;
    }
    if (is_float) {
        raise_value_error(k + ": `" + side.exclusive +
                          "` (an EXCLUSIVE bound) is not representable on Float "
                          "\xe2\x80\x94 use `" +
                          side.inclusive + "` (inclusive).");
        return false;
    }
    // Only an exact int is rewritten: the neighbour of a bool or of an int
    // subclass would silently change its type.
    if (!PyLong_CheckExact(exclusive)) {
        PyErr_Format(PyExc_ValueError,
                     "%s: `%s` must be an int (the exclusive-bound rewrite is exact for ints "
                     "only). Encountered: %R.",
                     kind, side.exclusive, exclusive);
        return false;
    }
    py::Ref one = py::Ref::steal(PyLong_FromLong(1));
    if (!one) return false;
    out = py::Ref::steal(side.step > 0 ? PyNumber_Add(exclusive, one.get())
                                       : PyNumber_Subtract(exclusive, one.get()));
    return static_cast<bool>(out);
}

// Folds the aliases of `args` into `out`. An Int rewrites an exclusive bound
// of exact type int into the neighbouring inclusive one, a Float refuses
// exclusive bounds. The lower side is decided before the upper side.
bool fold_bound_aliases(bool is_float, const BoundArgs& args, Bounds& out) {
    const char* kind = is_float ? "Float" : "Int";
    return fold_side(kind, is_float, kLower, args.min_value, args.gt, args.ge, out.min) &&
           fold_side(kind, is_float, kUpper, args.max_value, args.lt, args.le, out.max);
}

// False with ValueError when both bounds exist and `min > max` is true, or
// with the error of that comparison or its truth test.
bool check_bound_order(const Bounds& bounds) {
    if (!bounds.min || !bounds.max) return true;
    int crossed = PyObject_RichCompareBool(bounds.min.get(), bounds.max.get(), Py_GT);
    if (crossed < 0) return false;
    if (crossed == 0) return true;
    PyErr_Format(PyExc_ValueError,
                 "\"max_value\" must be equal or greater than \"min_value\". Encountered: "
                 "min_value=%S, max_value=%S.",
                 bounds.min.get(), bounds.max.get());
    return false;
}

// --- construction -------------------------------------------------------------

// The order test of the two inclusive bounds, then the build.
std::optional<SpecEngine> number_base(bool is_float, Bounds bounds, SpecCommon common) {
    if (!check_bound_order(bounds)) return std::nullopt;
    PyTypeObject* value_type = is_float ? &PyFloat_Type : &PyLong_Type;
    return build_base(py::Ref::borrow(reinterpret_cast<PyObject*>(value_type)),
                      NumberKind{std::move(bounds.min), std::move(bounds.max), is_float},
                      std::move(common));
}

// The aliases folded, then `number_base`.
std::optional<SpecEngine> number_new(bool is_float, const BoundArgs& args, SpecCommon common) {
    Bounds bounds;
    if (!fold_bound_aliases(is_float, args, bounds)) return std::nullopt;
    return number_base(is_float, std::move(bounds), std::move(common));
}

py::Params<1> kTypeArgsParams{"with_type_args", {"type_args"}, 1, 1};

// `Int[min, max]`: exactly two items, None meaning unbounded; no alias
// folding and no type test.
template <bool IsFloat>
PyObject* with_type_args(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kTypeArgsParams, args, nargs, kwnames, a)) return nullptr;
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

// --- getters ----------------------------------------------------------------------

template <bool Max>
PyObject* get_bound(const SpecRead& self) {
    const NumberKind* number = kind_as<NumberKind>(self->kind);
    PyObject* bound = number ? (Max ? number->max_value.get() : number->min_value.get()) : nullptr;
    return py::new_ref(bound ? bound : Py_None);
}

// --- the classes ----------------------------------------------------------------------

template <bool IsFloat>
PyMethodDef number_methods[] = {
    py::class_method<&with_type_args<IsFloat>>("with_type_args", kTypeArgsParams),
    py::class_method<&with_type_args<IsFloat>>("__class_getitem__", kTypeArgsParams),
    py::kMethodsEnd,
};

PyGetSetDef number_getters[] = {
    py::getter<&get_bound<false>>("min_value"),
    py::getter<&get_bound<true>>("max_value"),
    py::getter<&get_bound<false>>("_min_value"),
    py::getter<&get_bound<true>>("_max_value"),
    py::kGettersEnd,
};

template <bool IsFloat>
struct NumberClass {
    static constexpr const char* kParams[] = {
        "default=...", "default_factory=None", "min_value=None", "max_value=None",
        "is_noneable=False", "frozen=False", "strict=None", "gt=None", "ge=None", "lt=None",
        "le=None"};
    static constexpr Py_ssize_t kPositional = 11, kRequired = 0;

    static constexpr std::size_t kMinValue = py::param_index(kParams, "min_value");
    static constexpr std::size_t kMaxValue = py::param_index(kParams, "max_value");
    static constexpr std::size_t kGt = py::param_index(kParams, "gt");
    static constexpr std::size_t kGe = py::param_index(kParams, "ge");
    static constexpr std::size_t kLt = py::param_index(kParams, "lt");
    static constexpr std::size_t kLe = py::param_index(kParams, "le");

    static std::optional<SpecEngine> make(const py::Args<11>& a, SpecCommon common) {
        const BoundArgs bounds{.min_value = none_as_omitted(a[kMinValue]),
                               .max_value = none_as_omitted(a[kMaxValue]),
                               .gt = none_as_omitted(a[kGt]),
                               .ge = none_as_omitted(a[kGe]),
                               .lt = none_as_omitted(a[kLt]),
                               .le = none_as_omitted(a[kLe])};
        return number_new(IsFloat, bounds, std::move(common));
    }
    // The bounds are folded and checked as in a constructor call.
    static std::optional<SpecEngine> read_json(const JsonRow& row, SpecCommon common) {
        py::Ref read[6];
        if (!row.field<"min_value">(read[0]) || !row.field<"max_value">(read[1]) ||
            !row.field<"gt">(read[2]) || !row.field<"ge">(read[3]) ||
            !row.field<"lt">(read[4]) || !row.field<"le">(read[5]))
            return std::nullopt;
        const BoundArgs bounds{
            none_as_omitted(read[0].get()), none_as_omitted(read[1].get()),
            none_as_omitted(read[2].get()), none_as_omitted(read[3].get()),
            none_as_omitted(read[4].get()), none_as_omitted(read[5].get())};
        return number_new(IsFloat, bounds, std::move(common));
    }
    static PyMethodDef* methods() { return number_methods<IsFloat>; }
    static PyGetSetDef* getters() { return number_getters; }
};

struct IntClass : NumberClass<false> {
    static constexpr py::Literal kName{"Int"};
};
struct FloatClass : NumberClass<true> {
    static constexpr py::Literal kName{"Float"};
};

// --- the kind's table ------------------------------------------------------------------

const NumberKind& number_of(const SpecKind& kind) { return std::get<NumberKind>(kind); }

const KindClass& number_class_of(const SpecKind& kind) {
    return number_of(kind).is_float ? SpecClass<FloatClass>::kClass : SpecClass<IntClass>::kClass;
}

// Int(default, default_factory, min, max, noneable, frozen, strict)
bool number_format_items(SpecItems& items) {
    const NumberKind& number = number_of(items.engine().kind);
    return items.add_default() && items.add_default_factory() &&
           items.add("min", number.min_value.get(), Py_None) &&
           items.add("max", number.max_value.get(), Py_None) && items.add_noneable() &&
           items.add_frozen() && items.add_strict();
}

bool number_write_json(SpecJsonWriter& w, const SpecEngine& e) {
    const NumberKind& n = number_of(e.kind);
    return (!n.min_value || w.put<"min_value">(n.min_value.get())) &&
           (!n.max_value || w.put<"max_value">(n.max_value.get())) && w.noneable_strict_frozen(e);
}

bool bounded(const NumberKind& number) { return number.min_value || number.max_value; }

Shortcut number_shortcut(const SpecEngine& engine, PyObject*, PyObject* value,
                         ApplyOptions& options, py::Ref& out) {
    return leaf_shortcut(engine, value, options, out);
}

// Both set bounds are compared (value < min, value > max), so a comparison
// that fails against the maximum fails the check even when the minimum
// already refused; a float NaN given to a bounded Float is refused too.
int number_validate(const SpecEngine& engine, PyObject* value, PyObject* root_path) {
    const NumberKind& number = number_of(engine.kind);
    int below = 0;
    int above = 0;
    if (number.min_value) {
        below = compare_numbers(value, number.min_value.get(), Py_LT);
        if (below < 0) return -1;
    }
    if (number.max_value) {
        above = compare_numbers(value, number.max_value.get(), Py_GT);
        if (above < 0) return -1;
    }
    // A NaN lies within no range, though it compares below and above none.
    const bool nan = number.is_float && bounded(number) && is_float_nan(value);
    if (!below && !above && !nan) return 0;
    PyObject* none;
    if (!py::intern<"None">(none)) return -1;
    py::Ref path_text = path_text_of(root_path);
    if (!path_text) return -1;
    PyErr_Format(PyExc_ValueError, "Value %S is out of range (min=%S, max=%S). (path=%S)", value,
                 number.min_value ? number.min_value.get() : none,
                 number.max_value ? number.max_value.get() : none, path_text.get());
    return -1;
}

Leaf number_leaf(const SpecKind& kind) {
    return bounded(number_of(kind)) ? Leaf::Checked : Leaf::Exact;
}

// One bound: absent on the receiver requires None on the other side.
template <py::Literal Name>
int eq_bound(const py::Ref& mine, PyObject* other) {
    py::Ref theirs = py::get_attr<Name>(other);
    if (!theirs) return -1;
    if (!mine) return theirs.get() == Py_None ? 1 : 0;
    if (theirs.get() == Py_None) return 0;
    return py_eq(mine.get(), theirs.get());
}

int number_equal(const SpecEngine& engine, PyObject* other) {
    const NumberKind& number = number_of(engine.kind);
    const int lower = eq_bound<"min_value">(number.min_value, other);
    if (lower != 1) return lower;
    return eq_bound<"max_value">(number.max_value, other);
}

// One bound of the receiver against the other's: `outside` is the
// comparison that makes the other's bound fall outside.
template <py::Literal Name>
int compat_bound(const py::Ref& mine, PyObject* other, int outside) {
    if (!mine) return 1;
    py::Ref theirs = py::get_attr<Name>(other);
    if (!theirs) return -1;
    if (theirs.get() == Py_None) return 0;
    const int out = PyObject_RichCompareBool(theirs.get(), mine.get(), outside);
    return out < 0 ? -1 : !out;
}

int number_compatible(const SpecEngine& engine, PyObject*, PyObject* other) {
    const NumberKind& number = number_of(engine.kind);
    const int lower = compat_bound<"min_value">(number.min_value, other, Py_LT);
    if (lower != 1) return lower;
    return compat_bound<"max_value">(number.max_value, other, Py_GT);
}

[[nodiscard]] bool present(const py::Ref& ref) noexcept { return ref && ref.get() != Py_None; }

// `own` narrowed by the base's bound: taken when the child has none, else
// `outside` (Py_LT for a lower bound, Py_GT for an upper one) refuses.
int narrow_bound(py::Ref& own, const py::Ref& theirs, int outside, const extension::Reprs& reprs,
                 const char* tail) {
    if (!present(theirs)) return 0;
    if (!own) {
        own = theirs;
        return 0;
    }
    const int out = PyObject_RichCompareBool(own.get(), theirs.get(), outside);
    if (out <= 0) return out;
    return extension::refuse(reprs, tail);
}

// The bounds narrow to the base's; the new bounds are stored only once
// every check has passed.
int number_extend(SpecScope child, PyObject* base) {
    return extension::narrow_payload(
        child, base,
        [](SpecEngine& engine, const extension::BaseLimits& limits,
           const extension::Reprs& reprs) {
            NumberKind& number = std::get<NumberKind>(engine.kind);
            py::Ref lower = number.min_value;
            py::Ref upper = number.max_value;
            if (narrow_bound(lower, limits.min_value, Py_LT, reprs, ": min_value is smaller.") <
                    0 ||
                narrow_bound(upper, limits.max_value, Py_GT, reprs, ": max_value is larger.") < 0)
                return -1;
            if (lower && upper) {
                const int crossed = PyObject_RichCompareBool(lower.get(), upper.get(), Py_GT);
                if (crossed < 0) return -1;
                if (crossed)
                    return extension::refuse(
                        reprs, ": min_value (%S) is greater than max_value (%S) after extension.",
                        lower.get(), upper.get());
            }
            number.min_value = std::move(lower);
            number.max_value = std::move(upper);
            return 0;
        });
}

}  // namespace

PyTypeObject* int_type() { return SpecClass<IntClass>::type(); }

PyTypeObject* float_type() { return SpecClass<FloatClass>::type(); }

constinit const KindOps NumberKind::ops{
    .class_of = number_class_of,
    .repr_cacheable = true,
    .default_wrap_threshold = -1,
    .format_items = number_format_items,
    .write_json = number_write_json,
    .derived_default = kCommon,
    .keep_default_origin = kCommon,
    .shows_default = kCommon,
    .settle_options = kCommon,
    .shortcut = number_shortcut,
    .coerce = kCommon,
    .apply_kind = kCommon,
    .validate = number_validate,
    .forward_refs = kCommon,
    .value_type_obj = kCommon,
    .annotation = value_type_or_missing,
    .optional_when_noneable = true,
    .leaf = number_leaf,
    .descends = false,
    .constrains = true,
    .strict_children = kCommon,
    .deep_clone_payload = kCommon,
    .equal = number_equal,
    .compatible_first = kCommon,
    .compatible = number_compatible,
    .call = kCommon,
    .noneable = kCommon,
    .extend = number_extend,
};

}  // namespace vesk::typing
