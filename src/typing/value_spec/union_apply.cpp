// Applying a Union: the exact-class shortcut and the choice of candidate.
#include "py/critical_section.hpp"
#include "py/lazy.hpp"
#include "typing/bridge.hpp"
#include "typing/funnel/classify.hpp"
#include "typing/funnel/funnel.hpp"
#include "typing/value_spec/engine/apply.hpp"
#include "typing/value_spec/engine/spec_ops.hpp"
#include "typing/value_spec/format.hpp"
#include "typing/value_spec/object_type.hpp"
#include "typing/value_spec/union.hpp"

#include <vector>

namespace vesk::typing {

namespace {

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
    PyObject* method = py::intern<"apply">();
    PyObject* kwnames = py::names<"allow_partial", "child_transform", "root_path", "inplace">();
    if (!method || !kwnames) return {};
    PyObject* args[] = {candidate,
                        value,
                        options.allow_partial ? Py_True : Py_False,
                        options.child_transform ? options.child_transform : Py_None,
                        options.root_path ? options.root_path : Py_None,
                        options.inplace ? Py_True : Py_False};
    return py::Ref::steal(
        PyObject_VectorcallMethod(method, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// The candidate of the value's exact class from the type map: a plain leaf
// takes the value as it is, a plain Object spec decides natively when it can,
// anything else is applied.
py::Ref apply_mapped(PyObject* candidate, py::Ref value, const ApplyOptions& options) {
    const int has_leaf = takes_exact_leaves(candidate);
    if (has_leaf) return has_leaf < 0 ? py::Ref() : value;
    py::Ref cls;
    const NativeAnswer plain = native_plain_object_class(candidate, cls);
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
        py::SharedBorrow hold(spec_borrow(candidate));
        if (!hold.acquire()) return -1;
        return value_type_obj(spec_engine(candidate), out);
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

}  // namespace

Shortcut union_shortcut(const SpecEngine& engine, PyObject* spec_obj, PyObject* value,
                        ApplyOptions&, py::Ref& out) {
    const UnionKind& u = std::get<UnionKind>(engine.kind);
    if (!u.candidate_type_map || engine.frozen || engine.transform || !spec_obj)
        return Shortcut::Undecided;
    py::Ref candidate;
    const int found = mapped_candidate(u, value, candidate);
    if (found <= 0) return found < 0 ? Shortcut::Error : Shortcut::Undecided;
    const int has_leaf = takes_exact_leaves(candidate.get());
    if (has_leaf <= 0) return has_leaf < 0 ? Shortcut::Error : Shortcut::Undecided;
    out = py::Ref::borrow(value);
    return Shortcut::Accepted;
}

py::Ref union_apply_kind(const SpecEngine& engine, py::Ref value, const ApplyOptions& options,
                         PyObject*) {
    const UnionKind& u = std::get<UnionKind>(engine.kind);
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

}  // namespace vesk::typing
