// Spec equality and compatibility: the common steps, then each kind's rule
// through the table at the end of this file.
#include "typing/value_spec/engine/equality.hpp"

#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/errors.hpp"
#include "py/lazy.hpp"
#include "typing/bridge.hpp"
#include "typing/value_spec/engine/apply.hpp"
#include "typing/value_spec/engine/spec_ops.hpp"
#include "typing/value_spec/object_type.hpp"
#include "typing/value_spec/union.hpp"

#include <array>

namespace vesk::typing {

namespace {

// --- reading the other object -------------------------------------------------

// `a == b` made truthy.
[[nodiscard]] int py_eq(PyObject* a, PyObject* b) {
    return PyObject_RichCompareBool(a, b, Py_EQ);
}

// `a == obj.Name`.
template <py::Literal Name>
[[nodiscard]] int eq_attr(PyObject* a, PyObject* obj) {
    py::Ref value = py::get_attr<Name>(obj);
    if (!value) return -1;
    return py_eq(a, value.get());
}

[[nodiscard]] PyObject* or_none(const py::Ref& ref) noexcept {
    return ref ? ref.get() : Py_None;
}

// `spec.is_compatible(other)`, called by name; the answer must be a bool.
[[nodiscard]] int ask_compatible(PyObject* spec, PyObject* other) {
    PyObject* name = py::intern<"is_compatible">();
    if (!name) return -1;
    PyObject* call[] = {spec, other};
    py::Ref answer = py::Ref::steal(
        PyObject_VectorcallMethod(name, call, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!answer) return -1;
    bool b;
    if (!py::arg_bool("is_compatible", answer.get(), b)) return -1;
    return b ? 1 : 0;
}

// `spec.is_compatible(field.value)`.
[[nodiscard]] int compatible_with_value(PyObject* spec, PyObject* field) {
    py::Ref value = py::get_attr<"value">(field);
    if (!value) return -1;
    return ask_compatible(spec, value.get());
}

// An optional size read from `obj.Name`: None or an integer.
template <py::Literal Name>
[[nodiscard]] bool attr_opt_size(PyObject* obj, std::optional<std::int64_t>& out) {
    py::Ref value = py::get_attr<Name>(obj);
    if (!value) return false;
    out.reset();
    if (value.get() == Py_None) return true;
    std::int64_t n;
    if (!py::arg_i64(Name.text, value.get(), n)) return false;
    out = n;
    return true;
}

template <py::Literal Name>
[[nodiscard]] bool attr_size(PyObject* obj, std::int64_t& out) {
    py::Ref value = py::get_attr<Name>(obj);
    return value && py::arg_i64(Name.text, value.get(), out);
}

// --- equality per kind ------------------------------------------------------------

int eq_always(const SpecEngine&, PyObject*) { return 1; }

int eq_str(const SpecEngine& engine, PyObject* other) {
    const StrKind& k = std::get<StrKind>(engine.kind);
    py::Ref regex = py::get_attr<"regex">(other);
    if (!regex) return -1;
    const bool other_none = regex.get() == Py_None;
    if (!k.regex || other_none) return (!k.regex && other_none) ? 1 : 0;
    return py_eq(k.regex.get(), regex.get());
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

int eq_number(const SpecEngine& engine, PyObject* other) {
    const NumberKind& k = std::get<NumberKind>(engine.kind);
    const int lower = eq_bound<"min_value">(k.min_value, other);
    if (lower != 1) return lower;
    return eq_bound<"max_value">(k.max_value, other);
}

int eq_enum(const SpecEngine& engine, PyObject* other) {
    return eq_attr<"values">(std::get<EnumKind>(engine.kind).values.get(), other);
}

int eq_any(const SpecEngine& engine, PyObject* other) {
    return eq_attr<"annotation">(std::get<AnyKind>(engine.kind).annotation.get(), other);
}

// The symbolic and auto_wrap flags shared by List and Dict.
int eq_container_flags(Tri symbolic, bool auto_wrap, PyObject* other) {
    py::Ref theirs = py::get_attr<"symbolic">(other);
    if (!theirs) return -1;
    if (theirs.get() == Py_None) {
        if (symbolic != Tri::Unset) return 0;
    } else {
        bool b;
        if (!py::arg_bool("symbolic", theirs.get(), b)) return -1;
        // An unset flag never equals a bool.
        if (symbolic == Tri::Unset || b != (symbolic == Tri::True)) return 0;
    }
    const int wrap = attr_bool<"auto_wrap">(other);
    if (wrap < 0) return -1;
    return (wrap == 1) == auto_wrap ? 1 : 0;
}

int eq_list(const SpecEngine& engine, PyObject* other) {
    const ListKind& k = std::get<ListKind>(engine.kind);
    const int flags = eq_container_flags(k.symbolic, k.auto_wrap, other);
    if (flags != 1) return flags;
    return eq_attr<"element">(k.element_field.get(), other);
}

int eq_tuple(const SpecEngine& engine, PyObject* other) {
    const TupleKind& k = std::get<TupleKind>(engine.kind);
    std::int64_t min_size;
    std::optional<std::int64_t> max_size;
    if (!attr_size<"min_size">(other, min_size) || !attr_opt_size<"max_size">(other, max_size))
        return -1;
    const int elements = eq_attr<"elements">(k.elements.get(), other);
    if (elements != 1) return elements;
    return (min_size == k.min_size && max_size == k.max_size) ? 1 : 0;
}

int eq_union(const SpecEngine& engine, PyObject* other) {
    const UnionKind& k = std::get<UnionKind>(engine.kind);
    py::Ref theirs = py::get_attr<"candidates">(other);
    if (!theirs) return -1;
    const Py_ssize_t n = PyObject_Length(theirs.get());
    if (n < 0) return -1;
    if (n != PyList_GET_SIZE(k.candidates.get())) return 0;
    PyObject* name = py::intern<"get_candidate">();
    if (!name) return -1;
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref candidate = py::list_item(k.candidates.get(), i);
        if (!candidate) break;
        PyObject* call[] = {other, candidate.get()};
        py::Ref match = py::Ref::steal(
            PyObject_VectorcallMethod(name, call, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!match) return -1;
        const int eq = py_eq(candidate.get(), match.get());
        if (eq != 1) return eq;
    }
    return 1;
}

int eq_forward_refs(const SpecEngine& engine, PyObject* other) {
    py::Ref mine = forward_refs(engine);
    if (!mine) return -1;
    return eq_attr<"forward_refs">(mine.get(), other);
}

int eq_object(const SpecEngine& engine, PyObject* other) {
    const int resolved = type_resolved(engine);
    if (resolved < 0) return -1;
    if (!resolved) return eq_forward_refs(engine, other);
    py::Ref cls;
    if (value_type_obj(engine, cls) < 0) return -1;
    py::Ref theirs = py::get_attr<"value_type">(other);
    if (!theirs) return -1;
    if (!cls) return theirs.get() == Py_None ? 1 : 0;
    return py_eq(cls.get(), theirs.get());
}

// The class a Type spec stands for: its forward reference's `cls`, else `t`.
py::Ref type_class(const TypeKind& k) {
    if (!k.forward_ref) return k.t;
    return py::get_attr<"cls">(k.forward_ref.get());
}

int eq_type(const SpecEngine& engine, PyObject* other) {
    const int resolved = type_resolved(engine);
    if (resolved < 0) return -1;
    if (!resolved) return eq_forward_refs(engine, other);
    py::Ref cls = type_class(std::get<TypeKind>(engine.kind));
    if (!cls) return -1;
    return eq_attr<"type">(cls.get(), other);
}

int eq_dict(const SpecEngine& engine, PyObject* other) {
    const DictKind& k = std::get<DictKind>(engine.kind);
    const int flags = eq_container_flags(k.symbolic, k.auto_wrap, other);
    if (flags != 1) return flags;
    return eq_attr<"schema">(or_none(k.schema), other);
}

int eq_callable(const SpecEngine& engine, PyObject* other) {
    const CallableKind& k = std::get<CallableKind>(engine.kind);
    int eq = eq_attr<"args">(k.args.get(), other);
    if (eq != 1) return eq;
    eq = eq_attr<"kw">(k.kw.get(), other);
    if (eq != 1) return eq;
    py::Ref returns = py::get_attr<"return_value">(other);
    if (!returns) return -1;
    if (!k.returns) return returns.get() == Py_None ? 1 : 0;
    return py_eq(k.returns.get(), returns.get());
}

// --- compatibility per kind ---------------------------------------------------------

int compat_always(const SpecEngine&, PyObject*, PyObject*) { return 1; }

// One bound of the receiver against the other's: `cmp` is the comparison
// that makes the other's bound fall outside.
template <py::Literal Name>
int compat_bound(const py::Ref& mine, PyObject* other, int outside) {
    if (!mine) return 1;
    py::Ref theirs = py::get_attr<Name>(other);
    if (!theirs) return -1;
    if (theirs.get() == Py_None) return 0;
    const int out = PyObject_RichCompareBool(theirs.get(), mine.get(), outside);
    return out < 0 ? -1 : !out;
}

int compat_number(const SpecEngine& engine, PyObject*, PyObject* other) {
    const NumberKind& k = std::get<NumberKind>(engine.kind);
    const int lower = compat_bound<"min_value">(k.min_value, other, Py_LT);
    if (lower != 1) return lower;
    return compat_bound<"max_value">(k.max_value, other, Py_GT);
}

int compat_enum(const SpecEngine& engine, PyObject*, PyObject* other) {
    PyObject* mine = std::get<EnumKind>(engine.kind).values.get();
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

int compat_list(const SpecEngine& engine, PyObject*, PyObject* other) {
    const ListKind& k = std::get<ListKind>(engine.kind);
    if (k.max_size) {
        std::optional<std::int64_t> theirs;
        if (!attr_opt_size<"max_size">(other, theirs)) return -1;
        if (!theirs || *theirs > *k.max_size) return 0;
    }
    py::Ref element = py::get_attr<"element">(other);
    if (!element) return -1;
    return compatible_with_value(k.element.get(), element.get());
}

// The element spec (`value`) of a tuple's element field.
py::Ref element_spec(PyObject* elements, Py_ssize_t i) {
    py::Ref field = py::list_item(elements, i);
    if (!field) {
        if (!PyErr_Occurred()) py::raise_internal("tuple element index");
        return {};
    }
    return py::get_attr<"value">(field.get());
}

int compat_tuple(const SpecEngine& engine, PyObject*, PyObject* other) {
    const TupleKind& k = std::get<TupleKind>(engine.kind);
    const int other_fixed = attr_bool<"fixed_length">(other);
    if (other_fixed < 0) return -1;
    py::Ref theirs = py::get_attr<"elements">(other);
    if (!theirs) return -1;
    py::Ref seq = py::Ref::steal(PySequence_List(theirs.get()));
    if (!seq) return -1;
    const Py_ssize_t n = PyList_GET_SIZE(seq.get());
    if (k.fixed_length) {
        if (!other_fixed || n != PyList_GET_SIZE(k.elements.get())) return 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            py::Ref mine = element_spec(k.elements.get(), i);
            if (!mine) return -1;
            py::Ref field = py::list_item(seq.get(), i);
            if (!field) return PyErr_Occurred() ? -1 : 0;
            const int c = compatible_with_value(mine.get(), field.get());
            if (c != 1) return c;
        }
        return 1;
    }
    py::Ref mine = element_spec(k.elements.get(), 0);
    if (!mine) return -1;
    if (other_fixed) {
        if (k.min_size > n || (k.max_size && *k.max_size < n)) return 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            py::Ref field = py::list_item(seq.get(), i);
            if (!field) return PyErr_Occurred() ? -1 : 0;
            const int c = compatible_with_value(mine.get(), field.get());
            if (c != 1) return c;
        }
        return 1;
    }
    std::int64_t min_size;
    if (!attr_size<"min_size">(other, min_size)) return -1;
    if (min_size < k.min_size) return 0;
    if (k.max_size) {
        std::optional<std::int64_t> max_size;
        if (!attr_opt_size<"max_size">(other, max_size)) return -1;
        if (!max_size || *max_size > *k.max_size) return 0;
    }
    if (n == 0) {
        PyErr_SetString(PyExc_ValueError, "a variable-length tuple spec has no element spec");
        return -1;
    }
    py::Ref field = py::list_item(seq.get(), 0);
    if (!field) return -1;
    return compatible_with_value(mine.get(), field.get());
}

// Object and Type: the other's class must be a subclass of the receiver's.
template <py::Literal ClassAttr>
int compat_class(const SpecEngine& engine, PyObject* mine_cls, PyObject* other) {
    const int resolved = type_resolved(engine);
    if (resolved != 1) return resolved < 0 ? -1 : 1;
    py::Ref theirs_resolved = py::get_attr<"type_resolved">(other);
    if (!theirs_resolved) return -1;
    const int truthy = PyObject_IsTrue(theirs_resolved.get());
    if (truthy != 1) return truthy < 0 ? -1 : 1;
    py::Ref theirs = py::get_attr<ClassAttr>(other);
    if (!theirs) return -1;
    return call_is_subclass(theirs.get(), mine_cls);
}

int compat_object(const SpecEngine& engine, PyObject*, PyObject* other) {
    const int resolved = type_resolved(engine);
    if (resolved != 1) return resolved < 0 ? -1 : 1;
    py::Ref cls;
    if (value_type_obj(engine, cls) < 0) return -1;
    if (!cls) {
        py::raise_internal("Object resolves to a class");
        return -1;
    }
    return compat_class<"cls">(engine, cls.get(), other);
}

int compat_type(const SpecEngine& engine, PyObject*, PyObject* other) {
    const int resolved = type_resolved(engine);
    if (resolved != 1) return resolved < 0 ? -1 : 1;
    py::Ref cls = type_class(std::get<TypeKind>(engine.kind));
    if (!cls) return -1;
    return compat_class<"type">(engine, cls.get(), other);
}

int compat_dict(const SpecEngine& engine, PyObject*, PyObject* other) {
    const DictKind& k = std::get<DictKind>(engine.kind);
    if (!k.schema || k.schema.get() == Py_None) return 1;
    py::Ref theirs = py::get_attr<"schema">(other);
    if (!theirs) return -1;
    if (theirs.get() == Py_None) return 0;
    PyObject* name = py::intern<"is_compatible">();
    if (!name) return -1;
    PyObject* call[] = {k.schema.get(), theirs.get()};
    py::Ref answer = py::Ref::steal(
        PyObject_VectorcallMethod(name, call, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return answer ? PyObject_IsTrue(answer.get()) : -1;
}

int compat_callable(const SpecEngine& engine, PyObject*, PyObject* other) {
    const CallableKind& k = std::get<CallableKind>(engine.kind);
    py::Ref args_attr = py::get_attr<"args">(other);
    if (!args_attr) return -1;
    py::Ref kw_attr = py::get_attr<"kw">(other);
    if (!kw_attr) return -1;
    py::Ref args = py::Ref::steal(PySequence_List(args_attr.get()));
    if (!args) return -1;
    // The other's keyword entries as a name -> spec map.
    py::Ref kw = py::Ref::steal(PyDict_New());
    if (!kw) return -1;
    if (PyDict_MergeFromSeq2(kw.get(), kw_attr.get(), 1) < 0) return -1;
    if (PyList_GET_SIZE(k.args.get()) > PyList_GET_SIZE(args.get()) ||
        PyList_GET_SIZE(k.kw.get()) > PyDict_GET_SIZE(kw.get()))
        return 0;
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref mine = py::list_item(k.args.get(), i);
        if (!mine) break;
        py::Ref theirs = py::list_item(args.get(), i);
        if (!theirs) return PyErr_Occurred() ? -1 : 0;
        const int c = ask_compatible(mine.get(), theirs.get());
        if (c != 1) return c;
    }
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref entry = py::list_item(k.kw.get(), i);
        if (!entry) break;
        // Entries are (name, spec) pairs built by the constructor, but the
        // list is handed out by the `kw` getter and may have been edited.
        if (!PyTuple_Check(entry.get()) || PyTuple_GET_SIZE(entry.get()) != 2) {
            PyErr_Format(PyExc_TypeError,
                         "Callable keyword entries must be (name, value spec) pairs. "
                         "Encountered: %R.",
                         entry.get());
            return -1;
        }
        PyObject* theirs = nullptr;
        const int found = PyDict_GetItemRef(kw.get(), PyTuple_GET_ITEM(entry.get(), 0), &theirs);
        if (found != 1) return found;
        py::Ref held = py::Ref::steal(theirs);
        const int c = ask_compatible(PyTuple_GET_ITEM(entry.get(), 1), theirs);
        if (c != 1) return c;
    }
    if (!k.returns) return 1;
    py::Ref returns = py::get_attr<"return_value">(other);
    if (!returns) return -1;
    if (returns.get() == Py_None) return 1;
    return ask_compatible(k.returns.get(), returns.get());
}

// --- the per-kind table ---------------------------------------------------------------

struct KindRules {
    int (*equal)(const SpecEngine& engine, PyObject* other);
    int (*compatible)(const SpecEngine& engine, PyObject* self, PyObject* other);
};

// One line per kind, in variant order.
constexpr std::array<KindRules, kKindCount> kRules{{
    {eq_always, compat_always},        // Bool
    {eq_str, compat_always},           // Str: the regex is not compared
    {eq_number, compat_number},        // Number
    {eq_enum, compat_enum},            // Enum
    {eq_any, compat_always},           // Any
    {eq_list, compat_list},            // List
    {eq_tuple, compat_tuple},          // Tuple
    {eq_union, compat_always},         // Union
    {eq_object, compat_object},        // Object
    {eq_type, compat_type},            // Type
    {eq_dict, compat_dict},            // Dict
    {eq_callable, compat_callable},    // Callable
}};

// --- the common steps ------------------------------------------------------------------

int is_instance_of_own_class(PyObject* self, PyObject* other) {
    return PyObject_IsInstance(other, reinterpret_cast<PyObject*>(Py_TYPE(self)));
}

// A Union receiver: never reaches the general path.
int union_compatible(const SpecEngine& engine, PyObject* self, PyObject* other) {
    PyTypeObject* union_cls = union_type();
    if (!union_cls) return -1;
    if (PyObject_TypeCheck(other, union_cls)) {
        py::Ref theirs = py::get_attr<"candidates">(other);
        if (!theirs) return -1;
        py::Ref it = py::Ref::steal(PyObject_GetIter(theirs.get()));
        if (!it) return -1;
        while (py::Ref candidate = py::Ref::steal(PyIter_Next(it.get()))) {
            const int c = spec_compatible(engine, self, candidate.get());
            if (c != 1) return c;
        }
        return PyErr_Occurred() ? -1 : 1;
    }
    const UnionKind& k = std::get<UnionKind>(engine.kind);
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref candidate = py::list_item(k.candidates.get(), i);
        if (!candidate) break;
        const int c = ask_compatible(candidate.get(), other);
        if (c != 0) return c;
    }
    return 0;
}

// A Callable receiver against an Object spec: the class's `__call__`, when
// it is a plain function, must pass the receiver's own apply.
int callable_vs_object(PyObject* self, PyObject* other) {
    py::Ref cls = py::get_attr<"value_type">(other);
    if (!cls) return -1;
    py::Ref call = py::get_attr<"__call__">(cls.get());
    if (!call) {
        PyErr_Clear();
        return 0;
    }
    PyObject* isfunction = py::imported<"inspect", "isfunction">();
    if (!isfunction) return -1;
    py::Ref answer = py::Ref::steal(PyObject_CallOneArg(isfunction, call.get()));
    if (!answer) return -1;
    const int truthy = PyObject_IsTrue(answer.get());
    if (truthy != 1) return truthy;
    PyObject* name = py::intern<"apply">();
    if (!name) return -1;
    PyObject* args[] = {self, call.get()};
    py::Ref applied = py::Ref::steal(
        PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!applied) {
        PyErr_Clear();
        return 0;
    }
    return 1;
}

}  // namespace

int spec_equal(const SpecEngine& engine, PyObject* self, PyObject* other) {
    if (other == self) return 1;
    const int same_class = is_instance_of_own_class(self, other);
    if (same_class != 1) return same_class;
    py::Ref default_value = py::get_attr<"default">(other);
    if (!default_value) return -1;
    py::Ref default_factory = py::get_attr<"default_factory">(other);
    if (!default_factory) return -1;
    py::Ref transform = py::get_attr<"transform">(other);
    if (!transform) return -1;
    int eq = callable_eq(engine.default_value.get(), default_value.get());
    if (eq != 1) return eq;
    eq = callable_eq(or_none(engine.default_factory), default_factory.get());
    if (eq != 1) return eq;
    const int noneable = attr_bool<"is_noneable">(other);
    if (noneable < 0) return -1;
    if ((noneable == 1) != engine.is_noneable) return 0;
    const int frozen = attr_bool<"frozen">(other);
    if (frozen < 0) return -1;
    if ((frozen == 1) != engine.frozen) return 0;
    const int strict = attr_bool<"strict">(other);
    if (strict < 0) return -1;
    if ((strict == 1) != engine.is_strict()) return 0;
    eq = callable_eq(or_none(engine.transform), transform.get());
    if (eq != 1) return eq;
    return kRules[engine.kind.index()].equal(engine, other);
}

int spec_compatible(const SpecEngine& engine, PyObject* self, PyObject* other) {
    switch (engine.id()) {
        case KindId::Enum: {
            const int frozen = attr_bool<"frozen">(other);
            if (frozen < 0) return -1;
            if (frozen) {
                py::Ref value = py::get_attr<"default">(other);
                if (!value) return -1;
                const int found =
                    PySequence_Contains(std::get<EnumKind>(engine.kind).values.get(), value.get());
                if (found != 0) return found;
            }
            break;
        }
        case KindId::Any: return 1;
        case KindId::Union: return union_compatible(engine, self, other);
        case KindId::Callable: {
            PyTypeObject* object_cls = object_type();
            if (!object_cls) return -1;
            if (PyObject_TypeCheck(other, object_cls)) return callable_vs_object(self, other);
            break;
        }
        default: break;
    }
    if (other == self) return 1;
    const int same_class = is_instance_of_own_class(self, other);
    if (same_class != 1) return same_class;
    if (!engine.is_noneable) {
        const int noneable = attr_bool<"is_noneable">(other);
        if (noneable != 0) return noneable < 0 ? -1 : 0;
    }
    return kRules[engine.kind.index()].compatible(engine, self, other);
}

}  // namespace vesk::typing
