// The value-spec JSON dispatch: the common options, then one row per kind
// reading the kind's keys in order and calling its native constructor.
#include "typing/value_spec/from_json.hpp"

#include "typing/bridge.hpp"
#include "typing/value_spec/callable.hpp"
#include "typing/value_spec/containers/containers.hpp"
#include "typing/value_spec/object_type.hpp"
#include "typing/value_spec/primitives/kind_class.hpp"
#include "typing/value_spec/primitives/primitives.hpp"
#include "typing/value_spec/union.hpp"

#include <cstring>

namespace vesk::typing {

py::Ref json_kwargs(const py::ExtraKeywords& extra) {
    py::Ref kwargs = py::Ref::steal(PyDict_New());
    if (!kwargs) return {};
    for (const py::ExtraKeyword& kw : extra)
        if (PyDict_SetItem(kwargs.get(), kw.name, kw.value) < 0) return {};
    return kwargs;
}

int json_field(PyObject* json_value, PyObject* key, PyObject* kwargs, py::Ref& out) {
    if (!key) return -1;
    PyObject* found = nullptr;
    const int r = PyDict_GetItemRef(json_value, key, &found);
    py::Ref stored = py::Ref::steal(found);
    if (r <= 0) return r;
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return -1;
    PyObject* args[] = {stored.get()};
    out = py::Ref::steal(PyObject_VectorcallDict(bridge->from_json.get(), args, 1, kwargs));
    return out ? 1 : -1;
}

int json_field(PyObject* json_value, const char* key, PyObject* kwargs, py::Ref& out) {
    py::Ref name = py::Ref::steal(PyUnicode_FromString(key));
    return json_field(json_value, name.get(), kwargs, out);
}

bool json_check_dict(PyObject* json_value) {
    if (PyDict_Check(json_value)) return true;
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyDict'",
                 Py_TYPE(json_value)->tp_name);
    return false;
}

int json_bool(PyObject* json_value, PyObject* key, bool& out) {
    if (!key) return -1;
    PyObject* found = nullptr;
    const int r = PyDict_GetItemRef(json_value, key, &found);
    py::Ref stored = py::Ref::steal(found);
    if (r <= 0) return r;
    if (stored.get() == Py_True || stored.get() == Py_False) {
        out = stored.get() == Py_True;
        return 1;
    }
    const char* name = PyUnicode_AsUTF8(key);
    if (name) py::raise_arg_type(name, "True or False", stored.get());
    return -1;
}

namespace {

// --- conversions of rebuilt values ---------------------------------------------

// A size read as a signed 64-bit integer; objects with `__index__` count.
// None is refused like any other non-integer.
bool to_i64(const char* name, PyObject* value, std::optional<std::int64_t>& out) {
    if (!PyIndex_Check(value)) {
        py::raise_arg_type(name, "int", value);
        return false;
    }
    py::Ref index = py::Ref::steal(PyNumber_Index(value));
    std::int64_t n = 0;
    if (!index || !py::arg_i64(name, index.get(), n)) return false;
    out = n;
    return true;
}

// One read of a kind's row: the dictionary and the keyword arguments that
// every nested conversion gets.
struct Row {
    PyObject* json_value;
    PyObject* kwargs;

    // As is: `out` stays null when the key is absent.
    template <py::Literal Key>
    bool field(py::Ref& out) const {
        return json_field(json_value, py::intern<Key>(), kwargs, out) >= 0;
    }

    // A key without which the kind cannot be built.
    template <py::Literal Key>
    bool required(const char* message, py::Ref& out) const {
        const int r = json_field(json_value, py::intern<Key>(), kwargs, out);
        if (r == 0) PyErr_SetString(PyExc_ValueError, message);
        return r > 0;
    }

    template <py::Literal Key>
    bool size(std::optional<std::int64_t>& out) const {
        py::Ref value;
        if (!field<Key>(value)) return false;
        return !value || to_i64(Key.text, value.get(), out);
    }

    // A bool rebuilt through the bridge: 1 read into `out`, 0 absent (`out`
    // untouched), -1 on error.
    template <py::Literal Key>
    int flag(bool& out) const {
        py::Ref value;
        if (!field<Key>(value)) return -1;
        if (!value) return 0;
        return py::arg_bool(Key.text, value.get(), out) ? 1 : -1;
    }
    // A tri-state flag: absent is unset.
    template <py::Literal Key>
    bool tri(Tri& out) const {
        bool value = false;
        const int given = flag<Key>(value);
        if (given > 0) out = tri_from_bool(value);
        return given >= 0;
    }

    // "transform": None is none. A form naming something that cannot be
    // called is refused here rather than built into a spec that fails on
    // every apply.
    bool transform(SpecCommon& common) const {
        py::Ref value;
        if (!field<"transform">(value)) return false;
        if (!value || value.get() == Py_None) return true;
        if (!PyCallable_Check(value.get())) {
            PyErr_Format(PyExc_TypeError,
                         "`transform` must be a single-arg callable. Encountered: %R.",
                         value.get());
            return false;
        }
        common.transform = std::move(value);
        return true;
    }
};

using Built = std::optional<SpecEngine>;

// --- the rows ----------------------------------------------------------------------

Built read_bool(const Row&, SpecCommon common) { return primitives::bool_new(std::move(common)); }

Built read_str(const Row& row, SpecCommon common) {
    py::Ref regex;
    if (!row.field<"regex">(regex)) return std::nullopt;
    return primitives::str_new(primitives::none_as_omitted(regex.get()), std::move(common));
}

template <bool IsFloat>
Built read_number(const Row& row, SpecCommon common) {
    py::Ref read[6];
    if (!row.field<"min_value">(read[0]) || !row.field<"max_value">(read[1]) ||
        !row.field<"gt">(read[2]) || !row.field<"ge">(read[3]) || !row.field<"lt">(read[4]) ||
        !row.field<"le">(read[5]))
        return std::nullopt;
    using primitives::none_as_omitted;
    const primitives::BoundArgs bounds{
        none_as_omitted(read[0].get()), none_as_omitted(read[1].get()),
        none_as_omitted(read[2].get()), none_as_omitted(read[3].get()),
        none_as_omitted(read[4].get()), none_as_omitted(read[5].get())};
    return primitives::number_new(IsFloat, bounds, std::move(common));
}

// The candidates decide whether an Enum is noneable.
Built read_enum(const Row& row, SpecCommon common) {
    py::Ref values;
    if (!row.required<"values">("Enum json missing 'values'.", values)) return std::nullopt;
    common.is_noneable = false;
    return primitives::enum_new(values.get(), std::move(common));
}

// An Any is always noneable; an absent annotation is the missing value and
// None is kept as given.
Built read_any(const Row& row, SpecCommon common) {
    py::Ref annotation;
    if (!row.field<"annotation">(annotation) || !row.transform(common)) return std::nullopt;
    if (!annotation) {
        const TypingBridge* bridge = typing_bridge();
        if (!bridge) return std::nullopt;
        annotation = bridge->missing_value;
    }
    return primitives::any_new(annotation.get(), std::move(common));
}

bool read_sizes(const Row& row, containers::SizeArgs& out) {
    return row.size<"min_size">(out.min_size) && row.size<"max_size">(out.max_size) &&
           row.size<"min_length">(out.min_length) && row.size<"max_length">(out.max_length);
}

Built read_list(const Row& row, SpecCommon common) {
    py::Ref element;
    if (!row.required<"element_value">("List json missing 'element_value'.", element))
        return std::nullopt;
    containers::ListArgs args;
    args.element_value = element.get();
    if (!read_sizes(row, args.sizes) || !row.transform(common) ||
        !row.tri<"symbolic">(args.symbolic) || row.flag<"auto_wrap">(args.auto_wrap) < 0)
        return std::nullopt;
    return containers::list_new(std::move(args), std::move(common));
}

// An empty list of positions is the form a zero-length fixed Tuple writes,
// so it is read back although the constructor refuses it.
Built read_tuple(const Row& row, SpecCommon common) {
    py::Ref element_values;
    if (!row.required<"element_values">("Tuple json missing 'element_values'.", element_values))
        return std::nullopt;
    containers::SizeArgs sizes;
    if (!read_sizes(row, sizes) || !row.transform(common)) return std::nullopt;
    return containers::tuple_new(element_values.get(), sizes, std::move(common),
                                 containers::EmptyFixed::Accept);
}

Built read_dict(const Row& row, SpecCommon common) {
    py::Ref schema;
    Tri symbolic = Tri::Unset;
    bool auto_wrap = true;
    if (!row.field<"schema">(schema) || !row.transform(common) ||
        !row.tri<"symbolic">(symbolic) || row.flag<"auto_wrap">(auto_wrap) < 0)
        return std::nullopt;
    return containers::dict_new(schema.get(), symbolic, auto_wrap, std::move(common));
}

Built read_type(const Row& row, SpecCommon common) {
    py::Ref t;
    if (!row.required<"t">("Type json missing 't'.", t)) return std::nullopt;
    return type_new(t.get(), std::move(common));
}

Built read_object(const Row& row, SpecCommon common) {
    py::Ref t;
    if (!row.required<"t">("Object json missing 't'.", t) || !row.transform(common))
        return std::nullopt;
    return object_new(t.get(), std::move(common));
}

template <bool IsFunctor>
Built read_callable(const Row& row, SpecCommon common) {
    py::Ref args, kw, returns, callable_type;
    if (!row.field<"args">(args) || !row.field<"kw">(kw) || !row.field<"returns">(returns) ||
        !row.transform(common))
        return std::nullopt;
    if (!IsFunctor && !row.field<"callable_type">(callable_type)) return std::nullopt;
    using primitives::none_as_omitted;
    return callable::callable_base(none_as_omitted(args.get()), none_as_omitted(kw.get()),
                                   none_as_omitted(returns.get()),
                                   py::Ref::borrow(none_as_omitted(callable_type.get())),
                                   IsFunctor, std::move(common));
}

Built read_union(const Row& row, SpecCommon common) {
    py::Ref candidates;
    if (!row.required<"candidates">("Union json missing 'candidates'.", candidates))
        return std::nullopt;
    return union_new(candidates.get(), std::move(common));
}

struct Dispatch {
    const char* key;
    Built (*read)(const Row&, SpecCommon);
};

constexpr Dispatch kDispatch[] = {
    {"vesk.typing.Bool", read_bool},
    {"vesk.typing.Str", read_str},
    {"vesk.typing.Int", read_number<false>},
    {"vesk.typing.Float", read_number<true>},
    {"vesk.typing.Enum", read_enum},
    {"vesk.typing.Any", read_any},
    {"vesk.typing.List", read_list},
    {"vesk.typing.Tuple", read_tuple},
    {"vesk.typing.Dict", read_dict},
    {"vesk.typing.Type", read_type},
    {"vesk.typing.Object", read_object},
    {"vesk.typing.Callable", read_callable<false>},
    {"vesk.typing.Functor", read_callable<true>},
    {"vesk.typing.Union", read_union},
};

// "default", "is_noneable", "frozen" and "strict"; never a default factory.
bool read_common(const Row& row, SpecCommon& out) {
    if (!row.field<"default">(out.default_value)) return false;
    if (!out.default_value) {
        const TypingBridge* bridge = typing_bridge();
        if (!bridge) return false;
        out.default_value = bridge->missing_value;
    }
    bool strict = false;
    if (json_bool(row.json_value, py::intern<"is_noneable">(), out.is_noneable) < 0 ||
        json_bool(row.json_value, py::intern<"frozen">(), out.frozen) < 0)
        return false;
    const int given = json_bool(row.json_value, py::intern<"strict">(), strict);
    if (given < 0) return false;
    out.strict = given ? tri_from_bool(strict) : Tri::Unset;
    return true;
}

// The nesting of spec forms on this thread: each form's nested values are
// read through the bridge, which comes back here for a nested spec.
thread_local int json_depth = 0;

class DepthGuard {
public:
    DepthGuard() noexcept { ++json_depth; }
    ~DepthGuard() { --json_depth; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
    [[nodiscard]] bool too_deep() const noexcept { return json_depth > kMaxJsonDepth; }
};

}  // namespace

Built base_from_json(const char* serialization_key, PyObject* json_value, PyObject* kwargs) {
    if (!json_check_dict(json_value)) return std::nullopt;
    py::Ref owned;
    if (!kwargs) {
        owned = py::Ref::steal(PyDict_New());
        if (!owned) return std::nullopt;
        kwargs = owned.get();
    }
    DepthGuard depth;
    if (depth.too_deep()) {
        PyErr_Format(PyExc_ValueError,
                     "Value-spec JSON is nested too deeply: more than %d levels.",
                     kMaxJsonDepth);
        return std::nullopt;
    }
    const Row row{json_value, kwargs};
    SpecCommon common;
    if (!read_common(row, common)) return std::nullopt;
    for (const Dispatch& entry : kDispatch)
        if (std::strcmp(entry.key, serialization_key) == 0)
            return entry.read(row, std::move(common));
    PyErr_Format(PyExc_ValueError, "Unknown value-spec serialization key: %s.",
                 serialization_key);
    return std::nullopt;
}

namespace {
py::Params<1> kFromJsonSig{"from_json", {"json_value"}, 1, 1, py::Keywords::Collect};
}  // namespace

PyObject* spec_from_json(const char* serialization_key, PyTypeObject* type,
                         PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kFromJsonSig, args, nargs, kwnames, a)) return nullptr;
    py::Ref kwargs = json_kwargs(a.extra());
    if (!kwargs) return nullptr;
    return primitives::wrap_built(type, base_from_json(serialization_key, a[0], kwargs.get()));
}

}  // namespace vesk::typing
