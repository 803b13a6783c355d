// Union: construction, the class and its members, and its dispatch entry.
// Applying a Union is in union_apply.cpp.
#include "typing/value_spec/union.hpp"

#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/lazy.hpp"
#include "py/type.hpp"
#include "typing/bridge.hpp"
#include "typing/value_spec/engine/apply.hpp"
#include "typing/value_spec/engine/kind_checks.hpp"
#include "typing/value_spec/engine/spec_ops.hpp"
#include "typing/value_spec/format.hpp"
#include "typing/value_spec/from_json.hpp"
#include "typing/value_spec/primitives/kind_class.hpp"
#include "typing/value_spec/utils.hpp"

#include <vector>

namespace vesk::typing {

namespace {

// The candidates argument as given, item by item: a list is read under its
// lock one item at a time (conversions in between run Python code), a tuple
// directly.
py::Ref given_item(PyObject* candidates, Py_ssize_t i) {
    if (PyList_Check(candidates)) return py::list_item(candidates, i);
    if (i >= PyTuple_GET_SIZE(candidates)) return {};
    return py::Ref::borrow(PyTuple_GET_ITEM(candidates, i));
}

bool refuse_candidates(PyObject* candidates) {
    PyErr_Format(PyExc_ValueError,
                 "Argument 'candidates' must be a list of at least 2 elements. Encountered %S.",
                 candidates);
    return false;
}

// Each candidate through `from_annotation`, in order, into a new list.
py::Ref convert_candidates(PyObject* candidates) {
    const bool is_list = PyList_Check(candidates);
    if ((!is_list && !PyTuple_Check(candidates)) || PyObject_Size(candidates) < 2) {
        refuse_candidates(candidates);
        return {};
    }
    py::Ref converted = py::Ref::steal(PyList_New(0));
    if (!converted) return {};
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref item = given_item(candidates, i);
        if (!item) break;
        py::Ref spec = from_annotation(item.get());
        if (!spec || PyList_Append(converted.get(), spec.get()) < 0) return {};
    }
    // A list emptied meanwhile by another thread is refused like a short one.
    if (PyList_GET_SIZE(converted.get()) < 2) {
        refuse_candidates(candidates);
        return {};
    }
    return converted;
}

// What the build needs to know of the converted candidates.
struct CandidateFacts {
    py::Ref value_type;  // tuple of classes, null when a candidate has none
    bool some_without_value_type = false;
    bool some_noneable = false;
};

// One group of candidates sharing (spec class, `_value_type`).
struct Group {
    py::Ref key;  // the pair, for the message
    Py_ssize_t size = 0;
};

// Adds `vt` (or each item of a tuple `vt`) to `seen` unless an equal entry is
// there already. -1 on error.
int collect_value_type(PyObject* seen, PyObject* vt) {
    const bool many = PyTuple_Check(vt);
    const Py_ssize_t n = many ? PyTuple_GET_SIZE(vt) : 1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = many ? PyTuple_GET_ITEM(vt, i) : vt;
        const int found = PySequence_Contains(seen, item);
        if (found < 0) return -1;
        if (!found && PyList_Append(seen, item) < 0) return -1;
    }
    return 0;
}

// Groups the candidates, refuses a group of two or more, and derives the
// value type and the noneability.
bool candidate_facts(PyObject* converted, CandidateFacts& facts) {
    std::vector<Group> groups;
    py::Ref seen = py::Ref::steal(PyList_New(0));
    if (!seen) return false;
    const Py_ssize_t n = PyList_GET_SIZE(converted);  // a list only this call sees
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* spec = PyList_GET_ITEM(converted, i);
        py::Ref vt = py::get_attr<"_value_type">(spec);
        if (!vt) return false;
        py::Ref noneable = py::get_attr<"is_noneable">(spec);
        if (!noneable) return false;
        const int truthy = PyObject_IsTrue(noneable.get());
        if (truthy < 0) return false;
        facts.some_noneable = facts.some_noneable || truthy;

        py::Ref key = py::Ref::steal(
            PyTuple_Pack(2, reinterpret_cast<PyObject*>(Py_TYPE(spec)), vt.get()));
        if (!key) return false;
        Group* group = nullptr;
        for (Group& g : groups) {
            const int same = PyObject_RichCompareBool(g.key.get(), key.get(), Py_EQ);
            if (same < 0) return false;
            if (same) {
                group = &g;
                break;
            }
        }
        if (group)
            ++group->size;
        else
            groups.push_back({std::move(key), 1});

        if (vt.get() == Py_None)
            facts.some_without_value_type = true;
        else if (collect_value_type(seen.get(), vt.get()) < 0)
            return false;
    }
    for (const Group& g : groups) {
        if (g.size < 2) continue;
        PyErr_Format(PyExc_ValueError, "Found %zd value specs of the same type %S.", g.size,
                     g.key.get());
        return false;
    }
    if (!facts.some_without_value_type) {
        facts.value_type = py::Ref::steal(PyList_AsTuple(seen.get()));
        if (!facts.value_type) return false;
    }
    return true;
}

}  // namespace

std::optional<SpecEngine> union_new(PyObject* candidates, SpecCommon common) {
    py::Ref converted = convert_candidates(candidates);
    if (!converted) return std::nullopt;
    CandidateFacts facts;
    if (!candidate_facts(converted.get(), facts)) return std::nullopt;
    py::Ref map;
    if (build_candidate_type_map(converted.get(), facts.some_without_value_type, map) < 0)
        return std::nullopt;
    common.is_noneable = common.is_noneable || facts.some_noneable;
    return build_base(std::move(facts.value_type),
                      UnionKind{std::move(converted), std::move(map)}, std::move(common));
}

namespace {

using primitives::CommonArgs;
using primitives::convert_common;
using primitives::wrap_built;

enum Param : std::size_t {
    kCandidates, kDefault, kDefaultFactory, kIsNoneable, kFrozen, kStrict, kParamCount,
};

py::Params<kParamCount> kParams{
    "Union",
    {"candidates", "default", "default_factory", "is_noneable", "frozen", "strict"},
    kParamCount,
    1};

PyObject* construct(PyTypeObject* type, const py::Args<kParamCount>& a) {
    SpecCommon common;
    if (!convert_common({.default_value = a[kDefault],
                         .default_factory = a[kDefaultFactory],
                         .is_noneable = a[kIsNoneable],
                         .frozen = a[kFrozen],
                         .strict = a[kStrict]},
                        common))
        return nullptr;
    return wrap_built(type, union_new(a[kCandidates], std::move(common)));
}

PyObject* union_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::Args<kParamCount> a;
    if (!py::parse(kParams, args, kwds, a)) return nullptr;
    return construct(type, a);
}

PyObject* union_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames) {
    py::Args<kParamCount> a;
    if (!py::parse(kParams, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    return construct(reinterpret_cast<PyTypeObject*>(type), a);
}

// --- getters and get_candidate ---------------------------------------------

PyObject* get_candidates(PyObject* self) {
    py::SharedBorrow hold(spec_borrow(self));
    if (!hold.acquire()) return nullptr;
    const UnionKind* u = kind_as<UnionKind>(spec_engine(self).kind);
    return py::new_ref(u ? u->candidates.get() : Py_None);
}

PyObject* get_candidate_type_map(PyObject* self) {
    py::SharedBorrow hold(spec_borrow(self));
    if (!hold.acquire()) return nullptr;
    const UnionKind* u = kind_as<UnionKind>(spec_engine(self).kind);
    return py::new_ref(u && u->candidate_type_map ? u->candidate_type_map.get() : Py_None);
}

// The first candidate compatible with `dest`: one of exactly `dest`'s class
// first, then any in order (a nested Union asked for its own candidate).
PyObject* get_candidate(PyObject* self, PyObject* dest) {
    py::SharedBorrow hold(spec_borrow(self));
    if (!hold.acquire()) return nullptr;
    const UnionKind* u = kind_as<UnionKind>(spec_engine(self).kind);
    if (!u) return py::new_ref(Py_None);
    PyObject* candidates = u->candidates.get();
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref candidate = py::list_item(candidates, i);
        if (!candidate) break;
        if (Py_TYPE(candidate.get()) != Py_TYPE(dest)) continue;
        const int ok = spec_is_compatible(dest, candidate.get());
        if (ok < 0) return nullptr;
        if (ok) return candidate.release();
    }
    PyTypeObject* union_cls = union_type();
    if (!union_cls) return nullptr;
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref candidate = py::list_item(candidates, i);
        if (!candidate) break;
        if (PyObject_TypeCheck(candidate.get(), union_cls)) {
            PyObject* name = py::intern<"get_candidate">();
            if (!name) return nullptr;
            py::Ref found =
                py::Ref::steal(PyObject_CallMethodOneArg(candidate.get(), name, dest));
            if (!found) return nullptr;
            if (found.get() != Py_None) return found.release();
            continue;
        }
        const int ok = spec_is_compatible(dest, candidate.get());
        if (ok < 0) return nullptr;
        if (ok) return candidate.release();
    }
    return py::new_ref(Py_None);
}

// --- type arguments and JSON ------------------------------------------------

py::Params<1> kTypeArgs{"with_type_args", {"type_args"}, 1, 1};

py::Ref call_noneable(py::Ref spec) {
    if (!spec) return {};
    PyObject* name = py::intern<"noneable">();
    if (!name) return {};
    return py::Ref::steal(PyObject_CallMethodNoArgs(spec.get(), name));
}

// `Union[a, b, ...]`: None arguments make the result noneable; a single
// remaining argument is converted on its own rather than wrapped.
py::Ref union_from_type_args(PyObject* type_args) {
    py::Ref args = as_type_args(type_args);
    if (!args) return {};
    const Py_ssize_t n = PyTuple_GET_SIZE(args.get());
    if (n < 2) {
        PyErr_Format(PyExc_TypeError,
                     "`vk.typing.Union` requires at least 2 type arguments. Encountered: %S.",
                     type_args);
        return {};
    }
    py::Ref rest = py::Ref::steal(PyList_New(0));
    if (!rest) return {};
    bool dropped_none = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(args.get(), i);
        if (item == Py_None)
            dropped_none = true;
        else if (PyList_Append(rest.get(), item) < 0)
            return {};
    }
    py::Ref spec;
    if (PyList_GET_SIZE(rest.get()) == 1) {
        spec = from_annotation(PyList_GET_ITEM(rest.get(), 0));
    } else {
        PyTypeObject* type = union_type();
        if (!type) return {};
        spec = py::Ref::steal(wrap_built(type, union_new(rest.get(), defaults())));
    }
    return dropped_none ? call_noneable(std::move(spec)) : spec;
}

PyObject* with_type_args(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kTypeArgs, args, nargs, kwnames, a)) return nullptr;
    return union_from_type_args(a[0]).release();
}

PyObject* class_getitem(PyObject*, PyObject* type_args) {
    py::Ref spec = union_from_type_args(type_args);
    if (!spec) return nullptr;
    return generic_getitem_result(std::move(spec)).release();
}

// --- the class -----------------------------------------------------------------

PyMethodDef methods[] = {
    py::method<&get_candidate>("get_candidate"),
    py::class_method<&with_type_args>("with_type_args"),
    py::class_method<&class_getitem>("__class_getitem__"),
    py::method<&primitives::copy<union_type>>("__copy__"),
    py::method<&primitives::deepcopy<union_type>>("__deepcopy__"),
    py::class_method<&from_json_method<"vesk.typing.Union", union_type>>("from_json"),
    py::kMethodsEnd,
};

PyGetSetDef getters[] = {
    py::getter<&get_candidates>("candidates"),
    py::getter<&get_candidate_type_map>("_candidate_type_map"),
    py::getter<&primitives::skip_user_transform<union_type>>("skip_user_transform"),
    py::kGettersEnd,
};

// Union(candidates, default, default_factory, noneable, frozen, strict).
bool union_format_items(SpecItems& items) {
    const UnionKind& u = std::get<UnionKind>(items.engine().kind);
    return items.add("", u.candidates.get(), Py_None) && items.add_default() &&
           items.add_default_factory() && items.add_noneable() && items.add_frozen() &&
           items.add_strict();
}

const char* union_label(const SpecKind&) { return "Union"; }
const char* union_key(const SpecKind&) { return "vesk.typing.Union"; }
PyTypeObject* union_class(const SpecKind&) { return union_type(); }

// A deep copy gets its own candidates, copied through the memo, and a type
// map rebuilt over them.
int union_deep_clone(SpecEngine& copy, PyObject* memo) {
    UnionKind& u = std::get<UnionKind>(copy.kind);
    py::Ref copied = deep_copy(u.candidates.get(), memo);
    if (!copied) return -1;
    if (!PyList_Check(copied.get())) {
        PyErr_Format(PyExc_TypeError, "deep copy of Union candidates gave '%s', not a list",
                     Py_TYPE(copied.get())->tp_name);
        return -1;
    }
    py::Ref map;
    if (build_candidate_type_map(copied.get(), !copy.value_type, map) < 0) return -1;
    u.candidates = std::move(copied);
    u.candidate_type_map = std::move(map);
    return 0;
}

}  // namespace

PyTypeObject* union_type() {
    static py::TypeCell TYPE;
    PyTypeObject* base = spec_base_type();
    if (!base) return nullptr;
    return TYPE.get([&](py::TypeDef& t) {
        t.name("vesk_core._native.Union")
            .doc("Union(candidates, default=..., default_factory=None, is_noneable=False, "
                 "frozen=False, strict=None)\n--\n\n")
            .base(base)
            .subclassable()
            .slots({py::slot<Py_tp_new, &union_tp_new>()})
            .vectorcall<&union_vectorcall>()
            .methods(methods)
            .getters(getters)
            .class_attr("__serialization_key__", "vesk.typing.Union");
    });
}

const KindOps kUnionOps{
    .label = union_label,
    .serialization_key = union_key,
    .py_class = union_class,
    // Candidates are specs that can change on their own.
    .repr_cacheable = false,
    .default_wrap_threshold = 20,
    .format_items = union_format_items,
    .shortcut = union_shortcut,
    .apply_kind = union_apply_kind,
    .validate = nullptr,
    .deep_clone_payload = union_deep_clone,
    .forward_refs = union_forward_refs,
    .value_type_obj = union_value_type_obj,
};

}  // namespace vesk::typing
