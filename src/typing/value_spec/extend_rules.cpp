// The extension rules chosen by the child's class: Enum, Union, Dict,
// Callable (and Functor), Object and Type. Each reads both specs by
// attribute name and holds nothing on the child while it calls into Python;
// the stores go through `with_base_mut`.
#include "py/critical_section.hpp"
#include "typing/bridge.hpp"
#include "typing/value_spec/callable.hpp"
#include "typing/value_spec/containers/containers.hpp"
#include "typing/value_spec/engine/spec_ops.hpp"
#include "typing/value_spec/extend_support.hpp"
#include "typing/value_spec/object_type.hpp"
#include "typing/value_spec/primitives/primitives.hpp"
#include "typing/value_spec/union.hpp"
#include "typing/value_spec/utils.hpp"

namespace vesk::typing::extension {

namespace {

// Every value of an Enum child must pass the base's own apply.
int extend_enum(PyObject* child, PyObject* base) {
    Reprs reprs;
    if (!reprs.take(child, base)) return -1;
    py::Ref values = py::get_attr<"values">(child);
    if (!values) return -1;
    py::Ref it = py::Ref::steal(PyObject_GetIter(values.get()));
    if (!it) return -1;
    PyObject* apply = py::intern<"apply">();
    if (!apply) return -1;
    while (py::Ref value = py::Ref::steal(PyIter_Next(it.get()))) {
        py::Ref applied = py::Ref::steal(PyObject_CallMethodOneArg(base, apply, value.get()));
        if (applied) continue;
        if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError))
            return -1;
        PyErr_Clear();
        return refuse(reprs, ": %R is not an acceptable value.", value.get());
    }
    return PyErr_Occurred() ? -1 : 0;
}

// The base candidate a child candidate extends: within a Union base the
// first that answers, in the base's order; otherwise the base itself when
// it is of exactly the candidate's class, two Object specs also needing
// their classes to agree. 1 with `out` set, 0 for none, -1.
int union_base_candidate(PyObject* candidate, PyObject* base, py::Ref& out) {
    const int base_union = is_instance(base, union_type);
    if (base_union < 0) return -1;
    if (base_union) {
        py::Ref candidates = py::get_attr<"candidates">(base);
        if (!candidates) return -1;
        py::Ref it = py::Ref::steal(PyObject_GetIter(candidates.get()));
        if (!it) return -1;
        // A Union's candidates are handed out live: one holding itself
        // would recurse without end.
        if (Py_EnterRecursiveCall(" while looking for a base candidate")) return -1;
        int found = 0;
        while (found == 0) {
            py::Ref item = py::Ref::steal(PyIter_Next(it.get()));
            if (!item) {
                found = PyErr_Occurred() ? -1 : 0;
                break;
            }
            found = union_base_candidate(candidate, item.get(), out);
        }
        Py_LeaveRecursiveCall();
        return found;
    }
    if (Py_TYPE(candidate) != Py_TYPE(base)) return 0;
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return -1;
    if (reinterpret_cast<PyObject*>(Py_TYPE(candidate)) == bridge->object_cls.get()) {
        py::Ref own_class = py::get_attr<"value_type">(candidate);
        if (!own_class) return -1;
        py::Ref base_class = py::get_attr<"value_type">(base);
        if (!base_class) return -1;
        const int sub = call_is_subclass(own_class.get(), base_class.get());
        if (sub <= 0) return sub;
    }
    out = py::Ref::borrow(base);
    return 1;
}

// Each candidate of a Union child extends its base candidate; those extended
// before a failure stay extended.
int extend_union(PyObject* child, PyObject* base) {
    Reprs reprs;
    if (!reprs.take(child, base)) return -1;
    py::Ref candidates = py::get_attr<"candidates">(child);
    if (!candidates) return -1;
    py::Ref it = py::Ref::steal(PyObject_GetIter(candidates.get()));
    if (!it) return -1;
    while (py::Ref candidate = py::Ref::steal(PyIter_Next(it.get()))) {
        py::Ref target;
        const int found = union_base_candidate(candidate.get(), base, target);
        if (found < 0) return -1;
        if (!found) return refuse(reprs, ": incompatible value spec %S.", candidate.get());
        if (call_extend(candidate.get(), target.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// `schema.apply({}, allow_partial=True)`: a Dict's default made from its
// schema.
py::Ref default_from_schema(PyObject* schema) {
    PyObject* apply = py::intern<"apply">();
    PyObject* kwnames = py::names<"allow_partial">();
    if (!apply || !kwnames) return {};
    py::Ref empty = py::Ref::steal(PyDict_New());
    if (!empty) return {};
    PyObject* args[] = {schema, empty.get(), Py_True};
    return py::Ref::steal(
        PyObject_VectorcallMethod(apply, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// Stores a Dict's new default, open str value spec and, when given, schema.
// The factory and `default_from_schema` stay as they were.
int store_dict_parts(PyObject* child, py::Ref default_value, py::Ref schema, py::Ref open) {
    const int missing = is_missing(default_value.get());
    if (missing < 0) return -1;
    if (missing) {
        // A copied missing value stands for "no default": keep the canonical one.
        const TypingBridge* bridge = typing_bridge();
        if (!bridge) return -1;
        default_value = bridge->missing_value;
    }
    return with_base_mut(child, [&](SpecEngine& engine) {
        engine.default_value = std::move(default_value);
        if (DictKind* dict = kind_as<DictKind>(engine.kind)) {
            if (schema) dict->schema = std::move(schema);
            dict->open_str_value_spec = std::move(open);
        }
        return 0;
    });
}

// A Dict child extends its schema on the base's, or takes a deep copy of
// the base's schema and default when it has none; either way its default
// follows the schema.
int extend_dict(PyObject* child, PyObject* base) {
    py::Ref base_schema = py::get_attr<"schema">(base);
    if (!base_schema || base_schema.get() == Py_None) return base_schema ? 0 : -1;
    py::Ref own_schema = py::get_attr<"schema">(child);
    if (!own_schema) return -1;
    py::Ref open;
    if (own_schema.get() != Py_None) {
        if (call_extend(own_schema.get(), base_schema.get()) < 0) return -1;
        py::Ref made = default_from_schema(own_schema.get());
        if (!made || compute_open_str_value_spec(own_schema.get(), open) < 0) return -1;
        return store_dict_parts(child, std::move(made), {}, std::move(open));
    }
    PyObject* deepcopy = py::imported<"copy", "deepcopy">();
    if (!deepcopy) return -1;
    py::Ref schema = py::Ref::steal(PyObject_CallOneArg(deepcopy, base_schema.get()));
    if (!schema) return -1;
    py::Ref base_default = py::get_attr<"default">(base);
    if (!base_default) return -1;
    py::Ref copied = py::Ref::steal(PyObject_CallOneArg(deepcopy, base_default.get()));
    if (!copied || compute_open_str_value_spec(schema.get(), open) < 0) return -1;
    return store_dict_parts(child, std::move(copied), std::move(schema), std::move(open));
}

// `list(obj.Name)` when `own.Name` is empty, else nothing. 0 or -1.
template <py::Literal Name>
int take_when_empty(PyObject* child, PyObject* base, py::Ref& out) {
    py::Ref own = py::get_attr<Name>(child);
    if (!own) return -1;
    const Py_ssize_t n = PyObject_Length(own.get());
    if (n != 0) return n < 0 ? -1 : 0;
    py::Ref theirs = py::get_attr<Name>(base);
    if (!theirs) return -1;
    out = py::Ref::steal(PySequence_List(theirs.get()));
    return out ? 0 : -1;
}

// Keyword entries are read as (name, spec) pairs wherever the spec is used
// again: a base offering anything else is refused before it is stored.
int check_kw_entries(PyObject* kw) {
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref entry = py::list_item(kw, i);
        if (!entry) return 0;
        if (!PyTuple_Check(entry.get()) || PyTuple_GET_SIZE(entry.get()) != 2) {
            PyErr_Format(PyExc_TypeError,
                         "'kw' should be a list of (name, value_spec) tuples. Encountered: %R.",
                         kw);
            return -1;
        }
    }
}

// What a Callable child leaves open (no arguments, no keywords, no return
// spec) comes from the base; what it states stays, unchecked.
int extend_callable(PyObject* child, PyObject* base) {
    py::Ref args, kw, returns;
    if (take_when_empty<"args">(child, base, args) < 0 ||
        take_when_empty<"kw">(child, base, kw) < 0)
        return -1;
    if (kw && check_kw_entries(kw.get()) < 0) return -1;
    py::Ref own_returns = py::get_attr<"return_value">(child);
    if (!own_returns) return -1;
    if (own_returns.get() == Py_None) {
        py::Ref theirs = py::get_attr<"return_value">(base);
        if (!theirs) return -1;
        if (theirs.get() != Py_None) returns = std::move(theirs);
    }
    if (!args && !kw && !returns) return 0;
    return with_base_mut(child, [&](SpecEngine& engine) {
        CallableKind* callable = kind_as<CallableKind>(engine.kind);
        if (!callable) return 0;
        if (args) callable->args = std::move(args);
        if (kw) callable->kw = std::move(kw);
        if (returns) callable->returns = std::move(returns);
        return 0;
    });
}

// Object and Type children are only checked: the base must accept them.
int extend_class(PyObject* child, PyObject* base, const char* what) {
    const int compatible = spec_is_compatible(base, child);
    if (compatible != 0) return compatible < 0 ? -1 : 0;
    return refuse_of(child, base, ": incompatible %s.", what);
}

}  // namespace

int extend_kind(PyObject* child, PyObject* base) {
    int r;
    if ((r = is_instance(child, primitives::enum_type)) != 0)
        return r < 0 ? -1 : extend_enum(child, base);
    if ((r = is_instance(child, union_type)) != 0) return r < 0 ? -1 : extend_union(child, base);
    if ((r = is_instance(child, containers::dict_type)) != 0)
        return r < 0 ? -1 : extend_dict(child, base);
    if ((r = is_instance(child, callable::callable_type)) != 0)
        return r < 0 ? -1 : extend_callable(child, base);
    if ((r = is_instance(child, object_type)) != 0)
        return r < 0 ? -1 : extend_class(child, base, "class");
    if ((r = is_instance(child, type_type)) != 0)
        return r < 0 ? -1 : extend_class(child, base, "type");
    return extend_by_engine_kind(child, base);
}

}  // namespace vesk::typing::extension
