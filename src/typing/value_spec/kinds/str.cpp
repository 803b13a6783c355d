// Str: the spec of a string, optionally constrained by a regular expression
// compiled once, when the spec is built; copies share the compiled pattern
// and validation never compiles.
#include "py/named.hpp"
#include "typing/value_spec/engine/by_name.hpp"
#include "typing/value_spec/engine/format.hpp"
#include "typing/value_spec/kinds.hpp"
#include "typing/value_spec/kinds/leaf_shortcuts.hpp"
#include "typing/value_spec/spec_class/extend_support.hpp"
#include "typing/value_spec/spec_class/json_write.hpp"
#include "typing/value_spec/spec_class/spec_class.hpp"
#include "typing/value_spec/utilities/texts.hpp"
#include "typing/value_spec/utilities/type_args.hpp"

namespace vesk::typing {

namespace {

// --- construction -------------------------------------------------------------

// `regex` null: no pattern. A falsy expression (the empty string) means no
// constraint at all; any other is compiled once here with `re.compile`.
std::optional<SpecEngine> str_new(PyObject* regex, SpecCommon common) {
    py::Ref pattern;
    if (regex) {
        const int truth = PyObject_IsTrue(regex);
        if (truth < 0) return std::nullopt;
        if (truth) {
            pattern = py::call_imported<"re", "compile">(regex);
            if (!pattern) return std::nullopt;
        }
    }
    return build_base(py::Ref::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type)),
                      StrKind{std::move(pattern)}, std::move(common));
}

py::Params<1> kTypeArgsParams{"with_type_args", {"type_args"}, 1, 1};

// `Str[regex]`: exactly one item, the regular expression.
PyObject* with_type_args(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// --- getters ----------------------------------------------------------------------

PyObject* get_regex(const SpecRead& self) {
    const StrKind* str = kind_as<StrKind>(self->kind);
    return py::new_ref(str && str->regex ? str->regex.get() : Py_None);
}

PyMethodDef str_methods[] = {
    py::class_method<&with_type_args>("with_type_args", kTypeArgsParams),
    py::class_method<&with_type_args>("__class_getitem__", kTypeArgsParams),
    py::kMethodsEnd,
};

PyGetSetDef str_getters[] = {
    py::getter<&get_regex>("regex"),
    py::getter<&get_regex>("_regex"),
    py::kGettersEnd,
};

struct StrClass {
    static constexpr py::Literal kName{"Str"};
    static constexpr const char* kParams[] = {
        "default=...", "default_factory=None", "regex=None", "is_noneable=False", "frozen=False",
        "strict=None"};
    static constexpr Py_ssize_t kPositional = 6, kRequired = 0;
    static constexpr std::size_t kRegex = py::param_index(kParams, "regex");

    static std::optional<SpecEngine> make(const py::Args<6>& a, SpecCommon common) {
        return str_new(none_as_omitted(a[kRegex]), std::move(common));
    }
    static std::optional<SpecEngine> read_json(const JsonRow& row, SpecCommon common) {
        py::Ref regex;
        if (!row.field<"regex">(regex)) return std::nullopt;
        return str_new(none_as_omitted(regex.get()), std::move(common));
    }
    static PyMethodDef* methods() { return str_methods; }
    static PyGetSetDef* getters() { return str_getters; }
};

using Class = SpecClass<StrClass>;

PyObject* with_type_args(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kTypeArgsParams, args, nargs, kwnames, a)) return nullptr;
    PyTypeObject* type = Class::type();
    if (!type) return nullptr;
    py::Ref items = as_type_args(a[0]);
    if (!items) return nullptr;
    if (PyTuple_GET_SIZE(items.get()) != 1) {
        PyErr_Format(PyExc_TypeError,
                     "`vk.typing.Str` requires 1 argument as the regular expression for "
                     "matching the str value. Encountered: %R.",
                     a[0]);
        return nullptr;
    }
    return wrap_built(type, str_new(none_as_omitted(PyTuple_GET_ITEM(items.get(), 0)),
                                    defaults()));
}

// --- the kind's table --------------------------------------------------------------

const KindClass& str_class_of(const SpecKind&) { return Class::kClass; }

const StrKind& str_of(const SpecKind& kind) { return std::get<StrKind>(kind); }

// Str(default, default_factory, regex=<pattern text>, noneable, frozen, strict)
bool str_format_items(SpecItems& items) {
    py::Ref pattern;
    if (regex_pattern_str(str_of(items.engine().kind).regex.get(), pattern) < 0) return false;
    return items.add_default() && items.add_default_factory() &&
           items.add("regex", pattern.get(), Py_None) && items.add_noneable() &&
           items.add_frozen() && items.add_strict();
}

bool str_write_json(SpecJsonWriter& w, const SpecEngine& e) {
    py::Ref pattern;
    if (regex_pattern_str(str_of(e.kind).regex.get(), pattern) < 0) return false;
    return (!pattern || w.put<"regex">(pattern.get())) && w.noneable_strict_frozen(e);
}

Shortcut str_shortcut(const SpecEngine& engine, PyObject*, PyObject* value, ApplyOptions& options,
                  py::Ref& out) {
    return leaf_shortcut(engine, value, options, out);
}

// The compiled expression's `match(value)` must not be None.
int str_validate(const SpecEngine& engine, PyObject* value, PyObject* root_path) {
    const StrKind& str = str_of(engine.kind);
    if (!str.regex) return 0;
    py::Ref match = py::call_method<"match">(str.regex.get(), value);
    if (!match) return -1;
    if (match.get() != Py_None) return 0;
    py::Ref pattern = py::get_attr<"pattern">(str.regex.get());
    if (!pattern) return -1;
    py::Ref path_text = path_text_of(root_path);
    if (!path_text) return -1;
    PyErr_Format(PyExc_ValueError, "String %R does not match regular expression %R. (path=%S)",
                 value, pattern.get(), path_text.get());
    return -1;
}

py::Ref str_annotation(const SpecEngine&) {
    return py::Ref::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
}

Leaf str_leaf(const SpecKind& kind) { return str_of(kind).regex ? Leaf::Checked : Leaf::Exact; }

// Both without a regex, equal; exactly one without, not equal; otherwise the
// compiled patterns compare with `==`.
int str_equal(const SpecEngine& engine, PyObject* other) {
    const StrKind& str = str_of(engine.kind);
    py::Ref regex = py::get_attr<"regex">(other);
    if (!regex) return -1;
    const bool other_none = regex.get() == Py_None;
    if (!str.regex || other_none) return (!str.regex && other_none) ? 1 : 0;
    return py_eq(str.regex.get(), regex.get());
}

// A child without a regex takes the base's.
int str_extend(SpecScope child, PyObject* base) {
    return extension::narrow_payload(
        child, base,
        [](SpecEngine& engine, const extension::BaseLimits& limits, const extension::Reprs&) {
            StrKind& str = std::get<StrKind>(engine.kind);
            if (!str.regex && limits.regex && limits.regex.get() != Py_None)
                str.regex = limits.regex;
            return 0;
        });
}

}  // namespace

PyTypeObject* str_type() { return Class::type(); }

constinit const KindOps StrKind::ops{
    .class_of = str_class_of,
    .repr_cacheable = true,
    .default_wrap_threshold = -1,
    .format_items = str_format_items,
    .write_json = str_write_json,
    .derived_default = kCommon,
    .keep_default_origin = kCommon,
    .shows_default = kCommon,
    .settle_options = kCommon,
    .shortcut = str_shortcut,
    .coerce = kCommon,
    .apply_kind = kCommon,
    .validate = str_validate,
    .forward_refs = kCommon,
    .value_type_obj = kCommon,
    .annotation = str_annotation,
    .optional_when_noneable = true,
    .leaf = str_leaf,
    .descends = false,
    .constrains = true,
    .strict_children = kCommon,
    .deep_clone_payload = kCommon,
    .equal = str_equal,
    .compatible_first = kCommon,
    .compatible = kCommon,  // the regex is not compared
    .call = kCommon,
    .noneable = kCommon,
    .extend = str_extend,
};

}  // namespace vesk::typing
