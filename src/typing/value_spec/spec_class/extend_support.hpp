// What the extension driver (extend.cpp) and the kinds' `extend` entries
// share: the one way a change reaches the child (`with_child_held`), the
// rule of the kinds that narrow their payload (`narrow_payload`), the
// refusal messages, and the calls by name.
//
// Errors follow the interpreter's convention: -1, false or a null Ref with
// an exception set.
#pragma once

#include "py/lazy.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"

namespace vesk::typing::extension {

// Applies `change(SpecEngine&) -> int` to the child under its exclusive
// hold, taken without waiting: any other hold (an apply in progress, a
// transform re-entering during that apply, a reader on another thread)
// refuses with the mutation-guard RuntimeError. The hold is released
// whatever the change answers.
template <class Change>
[[nodiscard]] int with_child_held(SpecScope child, Change&& change) {
    auto w = child.exclusive<py::Refuse::Mutation>();
    if (!w) return -1;
    return change(*w);
}

// The reprs of child and base, taken once for the messages of a rule.
struct Reprs {
    py::Ref child;
    py::Ref base;
    [[nodiscard]] bool take(PyObject* child_spec, PyObject* base_spec);
};

// What a payload rule reads of the base before taking the child: the reads
// that fail (a base of another kind has no such attribute) count as absent.
struct BaseLimits {
    py::Ref regex;
    py::Ref min_value;
    py::Ref max_value;
};

// The rule of the kinds that narrow their own payload (Str, Number, List,
// Tuple; Bool and Any have nothing to narrow): the reprs and the base's
// limits are read first, then `narrow(SpecEngine&, const BaseLimits&, const
// Reprs&) -> int` runs as one change of the child, so anything that
// re-enters the child from it fails at once instead of seeing a
// half-extended spec.
template <class Narrow>
[[nodiscard]] int narrow_payload(SpecScope child, PyObject* base, Narrow&& narrow);

// TypeError "{child} cannot extend {base}{tail}", the tail made by
// PyUnicode_FromFormat from `tail_format` and the arguments. Returns -1.
int refuse(const Reprs& reprs, const char* tail_format, ...);
// The same, taking the reprs of the two objects now.
int refuse_of(PyObject* child, PyObject* base, const char* tail_format, ...);

// `isinstance(obj, type_fn())` for one of the native spec classes; 1, 0, -1.
[[nodiscard]] int is_instance(PyObject* obj, PyTypeObject* (*type_fn)());

// `target.extend(base)`, called by name; its result is dropped. 0 or -1.
[[nodiscard]] int call_extend(PyObject* target, PyObject* base);

// --- implementation -----------------------------------------------------------

[[nodiscard]] BaseLimits read_limits(PyObject* base);

template <class Narrow>
int narrow_payload(SpecScope child, PyObject* base, Narrow&& narrow) {
    Reprs reprs;
    if (!reprs.take(child.object(), base)) return -1;
    const BaseLimits limits = read_limits(base);
    return with_child_held(child,
                           [&](SpecEngine& engine) { return narrow(engine, limits, reprs); });
}

}  // namespace vesk::typing::extension
