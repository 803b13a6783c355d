// Union: a value spec that accepts a value when one of its candidate specs
// accepts it.
//
// State. The payload holds the converted candidates (a list of at least two
// specs, in the order given) and, when every candidate's value type is a
// class claimed by no other candidate, a map from exact class to candidate
// through which apply picks a candidate with one dict lookup. The engine's
// value type is the tuple of the candidates' value types (none when one of
// them has none); the Union is noneable when asked or when a candidate is.
//
// Candidates are converted through the bridge's `from_annotation`, so a class
// or typing construct becomes a spec, and are asked everything by attribute
// name (`_value_type`, `is_noneable`, `apply`, `is_compatible`), so Python
// specs take part.
//
// The class accepts Python subclasses: only `__new__` makes an instance of
// the class it is called on; copies, `from_json` and the type-argument forms
// make a plain Union.
#include "py/critical_section.hpp"
#include "py/named.hpp"
#include "typing/bridge.hpp"
#include "typing/value_spec/engine/classify.hpp"
#include "typing/funnel/funnel.hpp"
#include "typing/value_spec/engine/apply.hpp"
#include "typing/value_spec/engine/by_name.hpp"
#include "typing/value_spec/engine/equality.hpp"
#include "typing/value_spec/engine/format.hpp"
#include "typing/value_spec/engine/forward_refs.hpp"
#include "typing/value_spec/kinds.hpp"
#include "typing/value_spec/spec_class/call.hpp"
#include "typing/value_spec/spec_class/extend_support.hpp"
#include "typing/value_spec/spec_class/json_write.hpp"
#include "typing/value_spec/spec_class/spec_class.hpp"
#include "typing/value_spec/spec_class/whole_spec.hpp"
#include "typing/value_spec/utilities/candidate_map.hpp"
#include "typing/value_spec/utilities/type_args.hpp"

#include <vector>

namespace vesk::typing {

namespace {

// --- construction -------------------------------------------------------------

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

// Checks and converts `candidates` (a list or tuple of at least two items),
// refuses two candidates of the same spec class and value type, derives the
// value type and type map, then builds the engine.
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

py::Ref call_noneable(py::Ref spec) {
    if (!spec) return {};
    PyObject* name;
    if (!py::intern<"noneable">(name)) return {};
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

py::Params<1> kTypeArgsParams{"with_type_args", {"type_args"}, 1, 1};
py::Params<1> kClassGetitemParams{"__class_getitem__", {"type_args"}, 1, 1};

PyObject* with_type_args(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kTypeArgsParams, args, nargs, kwnames, a)) return nullptr;
    return union_from_type_args(a[0]).release();
}

PyObject* class_getitem(PyObject*, PyObject* type_args) {
    py::Ref spec = union_from_type_args(type_args);
    if (!spec) return nullptr;
    return generic_getitem_result(std::move(spec)).release();
}

// --- getters and get_candidate ---------------------------------------------

const UnionKind* union_in(const SpecRead& self) { return kind_as<UnionKind>(self->kind); }

PyObject* get_candidates(const SpecRead& self) {
    const UnionKind* u = union_in(self);
    return py::new_ref(u ? u->candidates.get() : Py_None);
}

PyObject* get_candidate_type_map(const SpecRead& self) {
    const UnionKind* u = union_in(self);
    return py::new_ref(u && u->candidate_type_map ? u->candidate_type_map.get() : Py_None);
}

py::Params<1> kGetCandidateParams{"get_candidate", {"dest"}, 1, 1};

// The first candidate compatible with `dest`: one of exactly `dest`'s class
// first, then any in order (a nested Union asked for its own candidate). The
// spec is held while the candidates are asked.
PyObject* get_candidate(const SpecRead& self, PyObject* dest) {
    const UnionKind* u = union_in(self);
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
            PyObject* name;
            if (!py::intern<"get_candidate">(name)) return nullptr;
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

PyMethodDef union_methods[] = {
    py::method<&get_candidate>("get_candidate", kGetCandidateParams),
    py::class_method<&with_type_args>("with_type_args", kTypeArgsParams),
    py::class_method<&class_getitem>("__class_getitem__", kClassGetitemParams),
    py::kMethodsEnd,
};

PyGetSetDef union_getters[] = {
    py::getter<&get_candidates>("candidates"),
    py::getter<&get_candidate_type_map>("_candidate_type_map"),
    py::kGettersEnd,
};

struct UnionClass {
    static constexpr py::Literal kName{"Union"};
    static constexpr const char* kParams[] = {
        "candidates", "default=...", "default_factory=None", "is_noneable=False", "frozen=False",
        "strict=None"};
    static constexpr Py_ssize_t kPositional = 6, kRequired = 1;
    static constexpr bool kSubclassable = true;

    static std::optional<SpecEngine> make(const py::Args<6>& a, SpecCommon common) {
        return union_new(a[py::param_index(kParams, "candidates")], std::move(common));
    }
    static std::optional<SpecEngine> read_json(const JsonRow& row, SpecCommon common) {
        py::Ref candidates;
        if (!row.required<"candidates">("Union json missing 'candidates'.", candidates))
            return std::nullopt;
        return union_new(candidates.get(), std::move(common));
    }
    static PyMethodDef* methods() { return union_methods; }
    static PyGetSetDef* getters() { return union_getters; }
};

using Class = SpecClass<UnionClass>;

// --- apply: the exact-class shortcut and the choice of candidate ----------------------

const UnionKind& union_of(const SpecKind& kind) { return std::get<UnionKind>(kind); }

// 1 when `candidate` takes exact instances of some class unchanged (an
// unconstrained leaf), 0 when not, -1 on error.
int takes_exact_leaves(PyObject* candidate) {
    py::Ref leaf;
    if (!funnel::spec_exact_leaf_type(candidate, leaf)) return -1;
    return leaf ? 1 : 0;
}

// The candidate registered for the exact class of `value`: 1 with `out` set,
// 0 when the map has no entry, -1 when the lookup fails (a class whose
// metaclass hashes or compares badly).
int mapped_candidate(const UnionKind& u, PyObject* value, py::Ref& out) {
    PyObject* found = nullptr;
    const int r = PyDict_GetItemRef(u.candidate_type_map.get(),
                                    reinterpret_cast<PyObject*>(Py_TYPE(value)), &found);
    out = py::Ref::steal(found);
    return r;
}

// `candidate.apply(value, allow_partial=, child_transform=, root_path=,
// inplace=)`, with the root path itself (not a copy).
py::Ref apply_candidate(PyObject* candidate, PyObject* value, const ApplyOptions& options) {
    PyObject* args[] = {candidate,
                        value,
                        options.allow_partial ? Py_True : Py_False,
                        options.child_transform ? options.child_transform : Py_None,
                        options.root_path ? options.root_path : Py_None,
                        options.inplace ? Py_True : Py_False};
    return py::call_method_kw<"apply", "allow_partial", "child_transform", "root_path", "inplace">(
        args);
}

// The candidate of the value's exact class from the type map: a plain leaf
// takes the value as it is, a plain Object spec decides natively when it can,
// anything else is applied.
py::Ref apply_mapped(PyObject* candidate, py::Ref value, const ApplyOptions& options) {
    const int has_leaf = takes_exact_leaves(candidate);
    if (has_leaf) return has_leaf < 0 ? py::Ref() : value;
    py::Ref cls;
    const NativeAnswer plain = plain_object_class(candidate, cls);
    if (plain == NativeAnswer::Error) return {};
    if (plain == NativeAnswer::Yes) {
        const int accepted = funnel::object_accept(cls.get(), value.get(), options.allow_partial);
        if (accepted < 0) return {};
        if (accepted) return value;
    }
    return apply_candidate(candidate, value.get(), options);
}

// The value type a candidate checks against: `value_type_obj` of a native
// spec, the `value_type` attribute of any other. Null (no error) for none.
int candidate_value_type(PyObject* candidate, py::Ref& out) {
    if (is_spec(candidate)) {
        SpecRead r(candidate);
        if (!r) return -1;
        return value_type_obj(*r, out);
    }
    out = py::get_attr<"value_type">(candidate);
    if (!out) return -1;
    if (out.get() == Py_None) out.reset();
    return 0;
}

// A class, or a tuple made of classes only: the built-in isinstance takes it.
bool builtin_testable(PyObject* vt) noexcept {
    if (PyType_Check(vt)) return true;
    if (!PyTuple_Check(vt)) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(vt);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!PyType_Check(PyTuple_GET_ITEM(vt, i))) return false;
    return true;
}

int holds(PyObject* value, PyObject* vt) {
    return builtin_testable(vt) ? PyObject_IsInstance(value, vt) : call_is_instance(value, vt);
}

struct Candidate {
    py::Ref spec;
    py::Ref value_type;  // null: none
};

// Applies each candidate of `pass` in turn: the first result wins; a
// TypeError moves on; anything else fails. 1 with `out` set, 0 when all
// refused, -1 on error.
int try_in_turn(const std::vector<Candidate>& all, bool with_value_type, PyObject* value,
                const ApplyOptions& options, py::Ref& out) {
    for (const Candidate& c : all) {
        if (static_cast<bool>(c.value_type) != with_value_type) continue;
        out = apply_candidate(c.spec.get(), value, options);
        if (out) return 1;
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
        PyErr_Clear();
    }
    return 0;
}

// No map entry for the value's class: the candidates, with their value
// types, in three passes.
py::Ref apply_by_passes(const SpecEngine& engine, const UnionKind& u, py::Ref value,
                        const ApplyOptions& options) {
    // The candidate list can be changed by whoever holds it, and the value
    // types are asked with Python code running: take the candidates once,
    // one item at a time under the list's lock.
    std::vector<Candidate> all;
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref spec = py::list_item(u.candidates.get(), i);
        if (!spec) break;
        Candidate c{std::move(spec), {}};
        if (candidate_value_type(c.spec.get(), c.value_type) < 0) return {};
        all.push_back(std::move(c));
    }
    for (const Candidate& c : all) {
        if (!c.value_type) continue;
        const int in = holds(value.get(), c.value_type.get());
        if (in < 0) return {};
        if (in) return apply_candidate(c.spec.get(), value.get(), options);
    }
    py::Ref out;
    for (bool with_value_type : {false, true}) {
        const int r = try_in_turn(all, with_value_type, value.get(), options, out);
        if (r) return r < 0 ? py::Ref() : out;
    }
    py::Ref text = repr(engine);
    if (!text) return {};
    PyErr_Format(PyExc_TypeError, "%R does not match any candidate of %U.", value.get(),
                 text.get());
    return {};
}

// With a type map and the spec object given, a plain Union accepts a value
// as it is when the candidate of its exact class is an unconstrained leaf.
Shortcut union_shortcut(const SpecEngine& engine, PyObject* spec_obj, PyObject* value,
                        ApplyOptions&, py::Ref& out) {
    const UnionKind& u = union_of(engine.kind);
    if (!u.candidate_type_map || !engine.is_plain() || !spec_obj) return Shortcut::Undecided;
    py::Ref candidate;
    const int found = mapped_candidate(u, value, candidate);
    if (found <= 0) return found < 0 ? Shortcut::Error : Shortcut::Undecided;
    const int has_leaf = takes_exact_leaves(candidate.get());
    if (has_leaf <= 0) return has_leaf < 0 ? Shortcut::Error : Shortcut::Undecided;
    out = py::Ref::borrow(value);
    return Shortcut::Accepted;
}

// Each candidate's `apply(value, root_path=...)` in declared order; the first
// that returns wins. TypeError, ValueError and KeyError move on to the next
// candidate, any other failure stops the search; strictness does not matter.
int union_coerce(const SpecEngine& engine, PyObject* value, PyObject*, PyObject* root_path,
                 py::Ref& out) {
    // The list is read one item at a time under its lock; each candidate
    // runs with no lock held.
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref candidate = py::list_item(union_of(engine.kind).candidates.get(), i);
        if (!candidate) return 0;
        PyObject* args[] = {candidate.get(), value, root_path ? root_path : Py_None};
        out = py::call_method_kw<"apply", "root_path">(args);
        if (out) return 1;
        if (!PyErr_ExceptionMatches(PyExc_TypeError) &&
            !PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_KeyError))
            return -1;
        PyErr_Clear();
    }
}

// Picks the candidate for the value (type map, then three passes in
// candidate order) and applies it; TypeError "{value!r} does not match any
// candidate of {spec}." when none does.
py::Ref union_apply_kind(const SpecEngine& engine, py::Ref value, const ApplyOptions& options,
                         PyObject*) {
    const UnionKind& u = union_of(engine.kind);
    if (u.candidate_type_map) {
        py::Ref candidate;
        const int found = mapped_candidate(u, value.get(), candidate);
        if (found < 0) return {};
        if (found) return apply_mapped(candidate.get(), std::move(value), options);
    }
    const int resolved = type_resolved(engine);
    if (resolved < 0) return {};
    if (!resolved) return value;
    return apply_by_passes(engine, u, std::move(value), options);
}

// --- the rest of the kind's table -------------------------------------------------------

const KindClass& union_class_of(const SpecKind&) { return Class::kClass; }

// Union(candidates, default, default_factory, noneable, frozen, strict).
bool union_format_items(SpecItems& items) {
    return items.add("", union_of(items.engine().kind).candidates.get(), Py_None) &&
           items.add_default() && items.add_default_factory() && items.add_noneable() &&
           items.add_frozen() && items.add_strict();
}

bool union_write_json(SpecJsonWriter& w, const SpecEngine& e) {
    return w.conv<"candidates">(union_of(e.kind).candidates.get()) && w.noneable_strict_frozen(e);
}

// A new set with the refs of each candidate, in order.
py::Ref union_forward_refs(const SpecEngine& engine) {
    return forward_refs_of_items(union_of(engine.kind).candidates.get(), RefsOf::Item);
}

// With forward references and a stored value type, the tuple of the
// candidates' `value_type`s in order (a tuple contributing its items, each
// class once at its first place); otherwise the stored value type.
py::Ref union_value_type_obj(const SpecEngine& engine) {
    const UnionKind& u = union_of(engine.kind);
    if (!engine.value_type) return engine.value_type;
    py::Ref refs = forward_refs(engine);
    if (!refs) return {};
    const Py_ssize_t n = PyObject_Size(refs.get());
    if (n <= 0) return n < 0 ? py::Ref() : engine.value_type;
    // An insertion-ordered dict keeps each class once, at its first place.
    py::Ref seen = py::Ref::steal(PyDict_New());
    if (!seen) return {};
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref candidate = py::list_item(u.candidates.get(), i);
        if (!candidate) break;
        py::Ref value_type = py::get_attr<"value_type">(candidate.get());
        if (!value_type) return {};
        if (PyTuple_Check(value_type.get())) {
            const Py_ssize_t k = PyTuple_GET_SIZE(value_type.get());
            for (Py_ssize_t j = 0; j < k; ++j)
                if (PyDict_SetItem(seen.get(), PyTuple_GET_ITEM(value_type.get(), j), Py_None) < 0)
                    return {};
        } else if (PyDict_SetItem(seen.get(), value_type.get(), Py_None) < 0) {
            return {};
        }
    }
    return py::Ref::steal(PySequence_Tuple(seen.get()));
}

// typing.Union[(A1, ..., An)] with each candidate's annotation, filled.
py::Ref union_annotation(const SpecEngine& e) {
    py::Ref items = annotations_of_items(union_of(e.kind).candidates.get(), filled_annotation);
    return items ? typing_subscript<"Union">(items.get()) : py::Ref();
}

bool union_strict_children(const SpecEngine& e, std::vector<py::Ref>& out) {
    PyObject* candidates = union_of(e.kind).candidates.get();
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref candidate = py::list_item(candidates, i);
        if (!candidate) break;
        out.push_back(std::move(candidate));
    }
    return true;
}

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

int union_equal(const SpecEngine& engine, PyObject* other) {
    const UnionKind& k = union_of(engine.kind);
    py::Ref theirs = py::get_attr<"candidates">(other);
    if (!theirs) return -1;
    const Py_ssize_t n = PyObject_Length(theirs.get());
    if (n < 0) return -1;
    if (n != PyList_GET_SIZE(k.candidates.get())) return 0;
    PyObject* name;
    if (!py::intern<"get_candidate">(name)) return -1;
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

// Another Union is compatible when each of its candidates is; anything else
// when some candidate, in order, answers `is_compatible` with True. Union
// never reaches the common steps.
Decision union_compatible_first(const SpecEngine& engine, PyObject* self, PyObject* other) {
    auto decided = [](int answer) {
        return answer < 0 ? Decision::Error : answer ? Decision::Yes : Decision::No;
    };
    PyTypeObject* union_cls = union_type();
    if (!union_cls) return Decision::Error;
    if (PyObject_TypeCheck(other, union_cls)) {
        py::Ref theirs = py::get_attr<"candidates">(other);
        if (!theirs) return Decision::Error;
        py::Ref it = py::Ref::steal(PyObject_GetIter(theirs.get()));
        if (!it) return Decision::Error;
        while (py::Ref candidate = py::Ref::steal(PyIter_Next(it.get()))) {
            const int c = spec_compatible(engine, self, candidate.get());
            if (c != 1) return decided(c);
        }
        return decided(PyErr_Occurred() ? -1 : 1);
    }
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref candidate = py::list_item(union_of(engine.kind).candidates.get(), i);
        if (!candidate) break;
        const int c = spec_is_compatible(candidate.get(), other);
        if (c != 0) return decided(c);
    }
    return Decision::No;
}

// The flag and the default as for every kind, then `noneable(is_noneable,
// use_none_as_default=False)` on each candidate, while this spec is held.
int union_noneable(SpecEngine& engine, bool is_noneable, bool none_default,
                   Detached& detached) {
    if (common_kind::noneable(engine, is_noneable, none_default, detached) < 0) return -1;
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref candidate = py::list_item(union_of(engine.kind).candidates.get(), i);
        if (!candidate) break;
        PyObject* call[] = {candidate.get(), is_noneable ? Py_True : Py_False, Py_False};
        py::Ref done = py::call_method_kw<"noneable", "use_none_as_default">(call);
        if (!done) return -1;
    }
    return 0;
}

// The base candidate a child candidate extends: within a Union base the
// first that answers, in the base's order; otherwise the base itself when
// it is of exactly the candidate's class, two Object specs also needing
// their classes to agree. 1 with `out` set, 0 for none, -1.
int union_base_candidate(PyObject* candidate, PyObject* base, py::Ref& out) {
    const int base_union = extension::is_instance(base, union_type);
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

// Each candidate of the child extends its base candidate; those extended
// before a failure stay extended.
int union_extend(SpecScope child_scope, PyObject* base) {
    PyObject* child = child_scope.object();
    extension::Reprs reprs;
    if (!reprs.take(child, base)) return -1;
    py::Ref candidates = py::get_attr<"candidates">(child);
    if (!candidates) return -1;
    py::Ref it = py::Ref::steal(PyObject_GetIter(candidates.get()));
    if (!it) return -1;
    while (py::Ref candidate = py::Ref::steal(PyIter_Next(it.get()))) {
        py::Ref target;
        const int found = union_base_candidate(candidate.get(), base, target);
        if (found < 0) return -1;
        if (!found)
            return extension::refuse(reprs, ": incompatible value spec %S.", candidate.get());
        if (extension::call_extend(candidate.get(), target.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace

PyTypeObject* union_type() { return Class::type(); }

constinit const KindOps UnionKind::ops{
    .class_of = union_class_of,
    // Candidates are specs that can change on their own.
    .repr_cacheable = false,
    .default_wrap_threshold = 20,
    .format_items = union_format_items,
    .write_json = union_write_json,
    .derived_default = kCommon,
    .keep_default_origin = kCommon,
    .shows_default = kCommon,
    .settle_options = kCommon,
    .shortcut = union_shortcut,
    .coerce = union_coerce,
    .apply_kind = union_apply_kind,
    .validate = kCommon,
    .forward_refs = union_forward_refs,
    .value_type_obj = union_value_type_obj,
    .annotation = union_annotation,
    .optional_when_noneable = true,
    .leaf = kCommon,
    .descends = true,
    .constrains = false,
    .strict_children = union_strict_children,
    .deep_clone_payload = union_deep_clone,
    .equal = union_equal,
    .compatible_first = union_compatible_first,
    .compatible = kCommon,  // never reached: the first step decides
    .call = refuse_call,
    .noneable = union_noneable,
    .extend = union_extend,
};

}  // namespace vesk::typing
