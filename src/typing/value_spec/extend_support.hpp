// What the files of spec extension share: the one way a change reaches the
// child (`with_base_mut`), the refusal messages, and the rules that
// `extend_kind` dispatches to.
//
// Errors follow the interpreter's convention: -1, false or a null Ref with
// an exception set.
#pragma once

#include "py/lazy.hpp"
#include "typing/value_spec/engine/spec_ops.hpp"
#include "typing/value_spec/format.hpp"
#include "typing/value_spec/spec_base.hpp"

namespace vesk::typing::extension {

// Applies `change(SpecEngine&) -> int` to the engine of `spec` under its
// exclusive hold, taken without waiting: any other hold (an apply in
// progress, a transform re-entering during that apply, a reader on another
// thread) refuses with the mutation-guard RuntimeError. The repr cache is
// cleared first. The hold is released whatever the change answers;
// references the change carried and did not store go with it.
template <class Change>
[[nodiscard]] int with_base_mut(PyObject* spec, Change&& change) {
    if (!is_spec(spec)) {
        PyErr_SetString(PyExc_TypeError, "not a native value spec");
        return -1;
    }
    py::ExclusiveBorrow hold(spec_borrow(spec));
    if (!begin_mutation(hold)) return -1;
    SpecEngine& engine = spec_engine(spec);
    invalidate_repr(engine);
    return change(engine);
}

// The reprs of child and base, taken once for the messages of a rule.
struct Reprs {
    py::Ref child;
    py::Ref base;
    [[nodiscard]] bool take(PyObject* child_spec, PyObject* base_spec);
};

// TypeError "{child} cannot extend {base}{tail}", the tail made by
// PyUnicode_FromFormat from `tail_format` and the arguments. Returns -1.
int refuse(const Reprs& reprs, const char* tail_format, ...);
// The same, taking the reprs of the two objects now.
int refuse_of(PyObject* child, PyObject* base, const char* tail_format, ...);

// `isinstance(obj, type_fn())` for one of the native spec classes; 1, 0, -1.
[[nodiscard]] int is_instance(PyObject* obj, PyTypeObject* (*type_fn)());

// `target.extend(base)`, called by name; its result is dropped. 0 or -1.
[[nodiscard]] int call_extend(PyObject* target, PyObject* base);

// The rule for the child's class (Enum, Union, Dict, Callable, Object, Type,
// tested in that order), else the rule by the kind of its engine. `base` is
// the effective base. 0 or -1.
[[nodiscard]] int extend_kind(PyObject* child, PyObject* base);

// The rule by engine kind (extend_kind_payload.cpp): Str takes the base's
// regex, Number narrows its bounds, List and Tuple extend their element
// fields and take sizes; Bool and Any change nothing. 0 or -1.
[[nodiscard]] int extend_by_engine_kind(PyObject* child, PyObject* base);

}  // namespace vesk::typing::extension
