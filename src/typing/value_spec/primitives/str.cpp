// Str: the spec of a string, optionally constrained by a regular expression
// compiled once, when the spec is built; copies share the compiled pattern
// and validation never compiles.
#include "py/args.hpp"
#include "py/lazy.hpp"
#include "py/type.hpp"
#include "typing/value_spec/engine/kind_checks.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"
#include "typing/value_spec/format.hpp"
#include "typing/value_spec/from_json.hpp"
#include "typing/value_spec/primitives/kind_class.hpp"
#include "typing/value_spec/primitives/primitives.hpp"
#include "typing/value_spec/utils.hpp"

namespace vesk::typing::primitives {

std::optional<SpecEngine> str_new(PyObject* regex, SpecCommon common) {
    py::Ref pattern;
    if (regex) {
        // A falsy expression (the empty string) means no constraint at all.
        const int truth = PyObject_IsTrue(regex);
        if (truth < 0) return std::nullopt;
        if (truth) {
            PyObject* compile = py::imported<"re", "compile">();
            if (!compile) return std::nullopt;
            pattern = py::Ref::steal(PyObject_CallOneArg(compile, regex));
            if (!pattern) return std::nullopt;
        }
    }
    return build_base(py::Ref::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type)),
                      StrKind{std::move(pattern)}, std::move(common));
}

namespace {

enum Param : std::size_t {
    kDefault, kDefaultFactory, kRegex, kIsNoneable, kFrozen, kStrict, kParamCount,
};

py::Params<kParamCount> kParams{
    "Str",
    {"default", "default_factory", "regex", "is_noneable", "frozen", "strict"},
    kParamCount,
    0};

PyObject* construct(PyTypeObject* type, const py::Args<kParamCount>& a) {
    SpecCommon common;
    if (!convert_common({.default_value = a[kDefault],
                         .default_factory = a[kDefaultFactory],
                         .is_noneable = a[kIsNoneable],
                         .frozen = a[kFrozen],
                         .strict = a[kStrict]},
                        common))
        return nullptr;
    return wrap_built(type, str_new(none_as_omitted(a[kRegex]), std::move(common)));
}

PyObject* str_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::Args<kParamCount> a;
    if (!py::parse(kParams, args, kwds, a)) return nullptr;
    return construct(type, a);
}

PyObject* str_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                         PyObject* kwnames) {
    py::Args<kParamCount> a;
    if (!py::parse(kParams, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    return construct(reinterpret_cast<PyTypeObject*>(type), a);
}

py::Params<1> kTypeArgs{"with_type_args", {"type_args"}, 1, 1};

// `Str[regex]`: exactly one item, the regular expression.
PyObject* with_type_args(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kTypeArgs, args, nargs, kwnames, a)) return nullptr;
    PyTypeObject* type = str_type();
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

PyObject* get_regex(PyObject* self) {
    py::SharedBorrow hold(spec_borrow(self));
    if (!hold.acquire()) return nullptr;
    const StrKind* str = kind_as<StrKind>(spec_engine(self).kind);
    return py::new_ref(str && str->regex ? str->regex.get() : Py_None);
}

PyMethodDef methods[] = {
    py::method<&copy<str_type>>("__copy__"),
    py::method<&deepcopy<str_type>>("__deepcopy__"),
    py::class_method<&from_json_method<"vesk.typing.Str", str_type>>("from_json"),
    py::class_method<&with_type_args>("with_type_args"),
    py::class_method<&with_type_args>("__class_getitem__"),
    py::kMethodsEnd,
};

PyGetSetDef getters[] = {
    py::getter<&skip_user_transform<str_type>>("skip_user_transform"),
    py::getter<&get_regex>("regex"),
    py::getter<&get_regex>("_regex"),
    py::kGettersEnd,
};

// Str(default, default_factory, regex=<pattern text>, noneable, frozen, strict)
bool str_format_items(SpecItems& items) {
    const StrKind& str = std::get<StrKind>(items.engine().kind);
    py::Ref pattern;
    if (regex_pattern_str(str.regex.get(), pattern) < 0) return false;
    return items.add_default() && items.add_default_factory() &&
           items.add("regex", pattern.get(), Py_None) && items.add_noneable() &&
           items.add_frozen() && items.add_strict();
}

const char* str_label(const SpecKind&) { return "Str"; }
const char* str_key(const SpecKind&) { return "vesk.typing.Str"; }
PyTypeObject* str_class(const SpecKind&) { return str_type(); }

}  // namespace

PyTypeObject* str_type() {
    static py::TypeCell TYPE;
    PyTypeObject* base = spec_base_type();
    if (!base) return nullptr;
    return TYPE.get([&](py::TypeDef& t) {
        t.name("vesk_core._native.Str")
            .doc("Str(default=..., default_factory=None, regex=None, is_noneable=False, "
                 "frozen=False, strict=None)\n--\n\n")
            .base(base)
            .final_()
            .slots({py::slot<Py_tp_new, &str_tp_new>()})
            .vectorcall<&str_vectorcall>()
            .methods(methods)
            .getters(getters)
            .class_attr("__serialization_key__", "vesk.typing.Str");
    });
}

}  // namespace vesk::typing::primitives

namespace vesk::typing {

const KindOps kStrOps{
    .label = primitives::str_label,
    .serialization_key = primitives::str_key,
    .py_class = primitives::str_class,
    .repr_cacheable = true,
    .default_wrap_threshold = -1,
    .format_items = primitives::str_format_items,
    .shortcut = scalar_shortcut,
    .apply_kind = nullptr,
    .validate = validate_regex,
    .deep_clone_payload = nullptr,
    .forward_refs = nullptr,
    .value_type_obj = nullptr,
};

}  // namespace vesk::typing
