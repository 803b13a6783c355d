// Enum: a value that must be one of a list of candidates. The spec keeps the
// very list it was given (a change to that list changes the candidates) and
// derives its value type and its noneability from the candidates.
#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/type.hpp"
#include "typing/bridge.hpp"
#include "typing/value_spec/engine/kind_checks.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"
#include "typing/value_spec/format.hpp"
#include "typing/value_spec/from_json.hpp"
#include "typing/value_spec/primitives/kind_class.hpp"
#include "typing/value_spec/primitives/primitives.hpp"
#include "typing/value_spec/utils.hpp"

namespace vesk::typing::primitives {

namespace {

// The value type of the candidates: the widest of a chain of related exact
// classes (str for any str subclass), or none when two are unrelated or all
// are None. The list may change meanwhile (subclass tests run Python code):
// items are read one at a time under its lock, never past the length it had
// when the walk started.
bool derive_value_type(PyObject* values, py::Ref& out) {
    out.reset();
    PyObject* current = nullptr;  // borrowed from `keep`
    py::Ref keep;
    const Py_ssize_t n = PyList_GET_SIZE(values);
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::Ref item = py::list_item(values, i);
        if (!item) break;
        if (item.get() == Py_None) continue;
        PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(item.get()));
        if (!current) {
            keep = py::Ref::borrow(t);
            current = t;
            continue;
        }
        int wider = PyObject_IsSubclass(current, t);
        if (wider < 0) return false;
        if (wider) {
            keep = py::Ref::borrow(t);
            current = t;
            continue;
        }
        int narrower = PyObject_IsSubclass(t, current);
        if (narrower < 0) return false;
        if (!narrower) return true;  // unrelated: no value type
    }
    if (!current) return true;
    int is_str = PyObject_IsSubclass(current, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    if (is_str < 0) return false;
    out = is_str ? py::Ref::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type)) : std::move(keep);
    return true;
}

bool holds_none(PyObject* values) {
    const Py_ssize_t n = PyList_GET_SIZE(values);
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::Ref item = py::list_item(values, i);
        if (!item) break;
        if (item.get() == Py_None) return true;
    }
    return false;
}

}  // namespace

std::optional<SpecEngine> enum_new(PyObject* values, SpecCommon common) {
    if (!PyList_Check(values) || PyList_GET_SIZE(values) == 0) {
        PyErr_Format(PyExc_ValueError, "Values for Enum should be a non-empty list. Found %R.",
                     values);
        return std::nullopt;
    }
    // A null default is an omitted one.
    PyObject* given = common.default_value.get();
    const int missing = given ? is_missing(given) : 1;
    if (missing < 0) return std::nullopt;
    if (!missing) {
        const int found = PySequence_Contains(values, given);
        if (found < 0) return std::nullopt;
        if (!found) {
            PyErr_Format(PyExc_ValueError,
                         "Enum default value %R is not in candidate list %R.",
                         given, values);
            return std::nullopt;
        }
    }
    py::Ref value_type;
    if (!derive_value_type(values, value_type)) return std::nullopt;
    common.is_noneable = holds_none(values);
    common.transform.reset();
    return build_base(std::move(value_type), EnumKind{py::Ref::borrow(values)},
                      std::move(common));
}

namespace {

enum Param : std::size_t { kValues, kDefault, kDefaultFactory, kFrozen, kStrict, kParamCount };

py::Params<kParamCount> kParams{
    "Enum", {"values", "default", "default_factory", "frozen", "strict"}, kParamCount, 1};

PyObject* construct(PyTypeObject* type, const py::Args<kParamCount>& a) {
    SpecCommon common;
    if (!convert_common({.default_value = a[kDefault],
                         .default_factory = a[kDefaultFactory],
                         .frozen = a[kFrozen],
                         .strict = a[kStrict]},
                        common))
        return nullptr;
    return wrap_built(type, enum_new(a[kValues], std::move(common)));
}

PyObject* enum_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::Args<kParamCount> a;
    if (!py::parse(kParams, args, kwds, a)) return nullptr;
    return construct(type, a);
}

PyObject* enum_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames) {
    py::Args<kParamCount> a;
    if (!py::parse(kParams, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    return construct(reinterpret_cast<PyTypeObject*>(type), a);
}

py::Params<1> kTypeArgs{"with_type_args", {"type_args"}, 1, 1};

// `Enum[a, b, ...]`: at least two candidates, copied into a new list.
PyObject* with_type_args(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kTypeArgs, args, nargs, kwnames, a)) return nullptr;
    PyTypeObject* type = enum_type();
    if (!type) return nullptr;
    py::Ref items = as_type_args(a[0]);
    if (!items) return nullptr;
    if (PyTuple_GET_SIZE(items.get()) < 2) {
        PyErr_Format(PyExc_TypeError,
                     "`vk.typing.Enum` requires at least 2 arguments as the candidate values "
                     "for the enum Encountered: %R",
                     a[0]);
        return nullptr;
    }
    py::Ref values = py::Ref::steal(PySequence_List(items.get()));
    if (!values) return nullptr;
    return wrap_built(type, enum_new(values.get(), defaults()));
}

PyObject* get_values(PyObject* self) {
    py::SharedBorrow hold(spec_borrow(self));
    if (!hold.acquire()) return nullptr;
    const EnumKind* e = kind_as<EnumKind>(spec_engine(self).kind);
    return py::new_ref(e ? e->values.get() : Py_None);
}

PyMethodDef methods[] = {
    py::method<&copy<enum_type>>("__copy__"),
    py::method<&deepcopy<enum_type>>("__deepcopy__"),
    py::class_method<&from_json_method<"vesk.typing.Enum", enum_type>>("from_json"),
    py::class_method<&with_type_args>("with_type_args"),
    py::class_method<&with_type_args>("__class_getitem__"),
    py::kMethodsEnd,
};

PyGetSetDef getters[] = {
    py::getter<&skip_user_transform<enum_type>>("skip_user_transform"),
    py::getter<&get_values>("values"),
    py::getter<&get_values>("_values"),
    py::kGettersEnd,
};

// Enum(default, default_factory, values, frozen, strict): noneability is
// read from the candidates, so it is not shown apart.
bool enum_format_items(SpecItems& items) {
    const EnumKind& e = std::get<EnumKind>(items.engine().kind);
    return items.add_default() && items.add_default_factory() &&
           items.add("values", e.values.get(), Py_None) && items.add_frozen() &&
           items.add_strict();
}

const char* enum_label(const SpecKind&) { return "Enum"; }
const char* enum_key(const SpecKind&) { return "vesk.typing.Enum"; }
PyTypeObject* enum_class(const SpecKind&) { return enum_type(); }

// A deep copy gets its own candidate list, copied through the memo.
int enum_deep_clone(SpecEngine& copy, PyObject* memo) {
    EnumKind& e = std::get<EnumKind>(copy.kind);
    py::Ref copied = deep_copy(e.values.get(), memo);
    if (!copied) return -1;
    if (!PyList_Check(copied.get())) {
        PyErr_Format(PyExc_TypeError, "deep copy of Enum values gave '%s', not a list",
                     Py_TYPE(copied.get())->tp_name);
        return -1;
    }
    e.values = std::move(copied);
    return 0;
}

}  // namespace

PyTypeObject* enum_type() {
    static py::TypeCell TYPE;
    PyTypeObject* base = spec_base_type();
    if (!base) return nullptr;
    return TYPE.get([&](py::TypeDef& t) {
        t.name("vesk_core._native.Enum")
            .doc("Enum(values, default=..., default_factory=None, frozen=False, strict=None)"
                 "\n--\n\n")
            .base(base)
            .final_()
            .slots({py::slot<Py_tp_new, &enum_tp_new>()})
            .vectorcall<&enum_vectorcall>()
            .methods(methods)
            .getters(getters)
            .class_attr("__serialization_key__", "vesk.typing.Enum");
    });
}

}  // namespace vesk::typing::primitives

namespace vesk::typing {

const KindOps kEnumOps{
    .label = primitives::enum_label,
    .serialization_key = primitives::enum_key,
    .py_class = primitives::enum_class,
    // The candidate list is handed out live and may change under the spec,
    // so its text is never cached.
    .repr_cacheable = false,
    .default_wrap_threshold = -1,
    .format_items = primitives::enum_format_items,
    .shortcut = scalar_shortcut,
    .apply_kind = nullptr,
    .validate = validate_candidates,
    .deep_clone_payload = primitives::enum_deep_clone,
    .forward_refs = nullptr,
    .value_type_obj = nullptr,
};

}  // namespace vesk::typing
