// Enum: a value that must be one of a list of candidates. The spec keeps the
// very list it was given (a change to that list changes the candidates) and
// derives its value type and its noneability from the candidates.
#include "py/critical_section.hpp"
#include "py/named.hpp"
#include "typing/bridge.hpp"
#include "typing/value_spec/engine/by_name.hpp"
#include "typing/value_spec/engine/format.hpp"
#include "typing/value_spec/kinds.hpp"
#include "typing/value_spec/kinds/leaf_shortcuts.hpp"
#include "typing/value_spec/spec_class/call.hpp"
#include "typing/value_spec/spec_class/extend_support.hpp"
#include "typing/value_spec/spec_class/json_write.hpp"
#include "typing/value_spec/spec_class/mutators.hpp"
#include "typing/value_spec/spec_class/spec_class.hpp"
#include "typing/value_spec/utilities/texts.hpp"
#include "typing/value_spec/utilities/type_args.hpp"

namespace vesk::typing {

namespace {

// --- construction -------------------------------------------------------------

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

// `values` is kept by reference: the very list given.
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

py::Params<1> kTypeArgsParams{"with_type_args", {"type_args"}, 1, 1};

// `Enum[a, b, ...]`: at least two candidates, copied into a new list.
PyObject* with_type_args(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kTypeArgsParams, args, nargs, kwnames, a)) return nullptr;
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

PyObject* get_values(const SpecRead& self) {
    const EnumKind* e = kind_as<EnumKind>(self->kind);
    return py::new_ref(e ? e->values.get() : Py_None);
}

PyMethodDef enum_methods[] = {
    py::class_method<&with_type_args>("with_type_args", kTypeArgsParams),
    py::class_method<&with_type_args>("__class_getitem__", kTypeArgsParams),
    py::kMethodsEnd,
};

PyGetSetDef enum_getters[] = {
    py::getter<&get_values>("values"),
    py::getter<&get_values>("_values"),
    py::kGettersEnd,
};

struct EnumClass {
    static constexpr py::Literal kName{"Enum"};
    static constexpr const char* kParams[] = {
        "values", "default=...", "default_factory=None", "frozen=False", "strict=None"};
    static constexpr Py_ssize_t kPositional = 5, kRequired = 1;
    static constexpr std::size_t kValues = py::param_index(kParams, "values");

    static std::optional<SpecEngine> make(const py::Args<5>& a, SpecCommon common) {
        return enum_new(a[kValues], std::move(common));
    }
    // The candidates decide whether an Enum is noneable.
    static std::optional<SpecEngine> read_json(const JsonRow& row, SpecCommon common) {
        py::Ref values;
        if (!row.required<"values">("Enum json missing 'values'.", values)) return std::nullopt;
        common.is_noneable = false;
        return enum_new(values.get(), std::move(common));
    }
    static PyMethodDef* methods() { return enum_methods; }
    static PyGetSetDef* getters() { return enum_getters; }
};

using Class = SpecClass<EnumClass>;

// --- the kind's table ------------------------------------------------------------------

const EnumKind& enum_of(const SpecKind& kind) { return std::get<EnumKind>(kind); }

const KindClass& enum_class_of(const SpecKind&) { return Class::kClass; }

// Enum(default, default_factory, values, frozen, strict): noneability is
// read from the candidates, so it is not shown apart.
bool enum_format_items(SpecItems& items) {
    return items.add_default() && items.add_default_factory() &&
           items.add("values", enum_of(items.engine().kind).values.get(), Py_None) &&
           items.add_frozen() && items.add_strict();
}

bool enum_write_json(SpecJsonWriter& w, const SpecEngine& e) {
    return w.conv<"values">(enum_of(e.kind).values.get()) && w.frozen_strict(e);
}

Shortcut enum_shortcut(const SpecEngine& engine, PyObject*, PyObject* value,
                       ApplyOptions& options, py::Ref& out) {
    return leaf_shortcut(engine, value, options, out);
}

// `value in values`.
int enum_validate(const SpecEngine& engine, PyObject* value, PyObject* root_path) {
    PyObject* values = enum_of(engine.kind).values.get();
    const int found = PySequence_Contains(values, value);
    if (found) return found < 0 ? -1 : 0;
    py::Ref path_text = path_text_of(root_path);
    if (!path_text) return -1;
    PyErr_Format(PyExc_ValueError, "Value %R is not in candidate list %S. (path=%S)", value,
                 values, path_text.get());
    return -1;
}

py::Ref enum_annotation(const SpecEngine& e) {
    if (e.value_type) return e.value_type;
    PyObject* any;
    if (!py::imported<"typing", "Any">(any)) return {};
    return py::Ref::borrow(any);
}

Leaf enum_leaf(const SpecKind&) { return Leaf::Checked; }

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

int enum_equal(const SpecEngine& engine, PyObject* other) {
    return eq_attr<"values">(enum_of(engine.kind).values.get(), other);
}

// A frozen spec of any class whose default is a candidate is compatible.
Decision enum_compatible_first(const SpecEngine& engine, PyObject*, PyObject* other) {
    const int frozen = attr_bool<"frozen">(other);
    if (frozen < 0) return Decision::Error;
    if (!frozen) return Decision::Open;
    py::Ref value = py::get_attr<"default">(other);
    if (!value) return Decision::Error;
    const int found = PySequence_Contains(enum_of(engine.kind).values.get(), value.get());
    if (found < 0) return Decision::Error;
    return found ? Decision::Yes : Decision::Open;
}

// Every value of the other is a candidate.
int enum_compatible(const SpecEngine& engine, PyObject*, PyObject* other) {
    PyObject* mine = enum_of(engine.kind).values.get();
    py::Ref theirs = py::get_attr<"values">(other);
    if (!theirs) return -1;
    py::Ref it = py::Ref::steal(PyObject_GetIter(theirs.get()));
    if (!it) return -1;
    while (py::Ref item = py::Ref::steal(PyIter_Next(it.get()))) {
        const int found = PySequence_Contains(mine, item.get());
        if (found != 1) return found;
    }
    return PyErr_Occurred() ? -1 : 1;
}

// A value given is applied by name (`apply`), not made from the value type.
PyObject* enum_call(const SpecEngine& engine, PyObject* self, PyObject* args, PyObject*) {
    py::Ref out;
    const int answered = call_from_default(engine, self, args, out);
    if (answered) return answered < 0 ? nullptr : out.release();
    py::Ref method = py::get_attr<"apply">(self);
    return method ? PyObject_Call(method.get(), args, nullptr) : nullptr;
}

// None joins or leaves the candidates; `use_none_as_default` is not used.
int enum_noneable(SpecEngine& engine, bool is_noneable, bool, Detached& detached) {
    PyObject* values = enum_of(engine.kind).values.get();
    const int has_none = PySequence_Contains(values, Py_None);
    if (has_none < 0) return -1;
    if (is_noneable && !has_none) {
        if (PyList_Append(values, Py_None) < 0) return -1;
    } else if (!is_noneable && has_none) {
        // Only the first element that is None itself goes.
        Py_ssize_t found = -1;
        for (Py_ssize_t i = 0;; ++i) {
            py::Ref item = py::list_item(values, i);
            if (!item) break;
            if (item.get() == Py_None) {
                found = i;
                break;
            }
        }
        if (found >= 0 && PySequence_DelItem(values, found) < 0) return -1;
        if (engine.default_value.get() == Py_None) {
            const TypingBridge* bridge = typing_bridge();
            if (!bridge || store_unapplied(engine, bridge->missing_value.get(), detached) < 0)
                return -1;
        }
    }
    engine.is_noneable = is_noneable;
    return 0;
}

// Every value of the child must pass the base's own apply.
int enum_extend(SpecScope child_scope, PyObject* base) {
    PyObject* child = child_scope.object();
    extension::Reprs reprs;
    if (!reprs.take(child, base)) return -1;
    py::Ref values = py::get_attr<"values">(child);
    if (!values) return -1;
    py::Ref it = py::Ref::steal(PyObject_GetIter(values.get()));
    if (!it) return -1;
    while (py::Ref value = py::Ref::steal(PyIter_Next(it.get()))) {
        py::Ref applied = py::call_method<"apply">(base, value.get());
        if (applied) continue;
        if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError))
            return -1;
        PyErr_Clear();
        return extension::refuse(reprs, ": %R is not an acceptable value.", value.get());
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace

PyTypeObject* enum_type() { return Class::type(); }

constinit const KindOps EnumKind::ops{
    .class_of = enum_class_of,
    // The candidate list is handed out live and may change under the spec,
    // so its text is never cached.
    .repr_cacheable = false,
    .default_wrap_threshold = -1,
    .format_items = enum_format_items,
    .write_json = enum_write_json,
    .derived_default = kCommon,
    .keep_default_origin = kCommon,
    .shows_default = kCommon,
    .settle_options = kCommon,
    .shortcut = enum_shortcut,
    .coerce = kCommon,
    .apply_kind = kCommon,
    .validate = enum_validate,
    .forward_refs = kCommon,
    .value_type_obj = kCommon,
    .annotation = enum_annotation,
    .optional_when_noneable = true,
    .leaf = enum_leaf,
    .descends = false,
    .constrains = true,
    .strict_children = kCommon,
    .deep_clone_payload = enum_deep_clone,
    .equal = enum_equal,
    .compatible_first = enum_compatible_first,
    .compatible = enum_compatible,
    .call = enum_call,
    .noneable = enum_noneable,
    .extend = enum_extend,
};

}  // namespace vesk::typing
