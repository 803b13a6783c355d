// The apply driver: how one value spec validates and transforms one value.
//
// Every entry that applies a value (SpecBase.apply, __call__,
// materialize_default, default resolution, the re-apply after a user
// transform) ends in `apply`. The kind first settles the options and runs
// its shortcut (kind_ops.hpp `settle_options`, `shortcut`), which accepts
// exact-class leaves and containers of them without calling into Python or
// rendering the path; anything it cannot decide takes the full road in a
// fixed order: frozen, missing value, None, the value's own `custom_apply`,
// the user transform, then `apply_after_value` (type check, the kind's
// coercion, its per-kind apply, its validation).
//
// State. The driver keeps none. It reads the engine of the spec and never
// writes it; the caller holds a shared hold of the spec object for the whole
// call, so a transform or `custom_apply` that tries to mutate the same spec is
// refused by the mutation guard. No lock and no critical section is held
// while Python code runs.
//
// Paths. `root_path` is normally a KeyPath. Messages name the location by its
// text, `str(root_path)`, or the empty text when there is none; the text is
// rendered at most once per call and only on the slow road (or just before a
// shortcut validates). The driver's own three full-road checks write it as
// "(Path='{}', ValueSpec={})"; every other message appends " (path={})".
//
// Errors follow the interpreter's convention: a null Ref, or -1, means an
// exception is set. Nothing here throws. An uninstalled typing bridge is the
// internal error "typing bridge not installed".
#pragma once

#include "py/ref.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"

namespace vesk::typing {

// The options of one apply, passed by reference through the driver and the
// per-kind apply. The two references are borrowed: the caller keeps them
// alive for the call. Null means absent (the caller passed nothing or None).
struct ApplyOptions {
    // The transform handed to child applies.
    PyObject* child_transform = nullptr;
    // The key path of the value from the tree root.
    PyObject* root_path = nullptr;
    // Whether a missing value is acceptable.
    bool allow_partial = false;
    // Whether the spec's own transform still has to run: true on every entry
    // from Python, false on the re-apply that follows a transform.
    bool run_user_transform = true;
    // Passed through to the per-kind apply.
    bool inplace = true;
    // Set only by a List's shortcut that declined: the first `proven_prefix`
    // elements of the exact list `proven_list` need no apply (each is what
    // its apply would give back, and no user code would see it), so the
    // per-kind apply of that very list starts after them. Never passed on
    // to children.
    PyObject* proven_list = nullptr;
    Py_ssize_t proven_prefix = 0;
    // The change epoch read before that proof: the per-kind apply trusts
    // the prefix only while the epoch still reads the same when it begins,
    // so every element of the answer comes from one state of the element
    // spec.
    std::uint64_t proven_epoch = 0;
};

// Applies `value` (consumed) with the spec whose state is `engine`.
// `spec` is the spec's own Python object, or null when there is none; it is
// passed to the value's `custom_apply`, consulted by the Union shortcut, and
// its `skip_user_transform` twin applies the transformed value. Returns the
// applied value (new reference).
[[nodiscard]] py::Ref apply(const SpecEngine& engine, PyObject* spec, py::Ref value,
                            const ApplyOptions& options);

// The steps after the value is settled: type check (with the strict refusal
// of bools), coercion of a value of the wrong type, the per-kind apply and
// validation. `path_text` is the rendered path (a str).
[[nodiscard]] py::Ref apply_after_value(const SpecEngine& engine, py::Ref value,
                                        const ApplyOptions& options, PyObject* path_text);

// Coerces `value` (consumed) to `value_type` (a class or a tuple of classes)
// by the kind's `coerce`: a Union tries its candidates in order; otherwise a
// strict spec does not coerce, and each target in turn may widen an int to
// float or accept the value through its `__vk_accept__` hook. No target
// accepting raises TypeError "Expect {} but encountered {}: {}. (path={})".
// `root_path` (null when absent) is what Union candidates receive.
[[nodiscard]] py::Ref coerce_or_raise(const SpecEngine& engine, py::Ref value,
                                      PyObject* value_type, PyObject* root_path,
                                      PyObject* path_text);

// Checks `value` against the kind's constraints (its `validate`: range,
// regular expression, candidate list, list size, subclass, callable
// signature). Returns 0, or -1 with the failure set: a ValueError ending in
// " (path={})" for the native checks, the callback's own exception for a
// Callable.
[[nodiscard]] int validate(const SpecEngine& engine, PyObject* value, PyObject* root_path);

// The forward references the spec depends on (the kind's `forward_refs`): a
// set (for a List, the element spec's own `forward_refs`; the bridge's
// shared empty frozenset when there are none).
[[nodiscard]] py::Ref forward_refs(const SpecEngine& engine);

// 1 when every forward reference is resolved (or there are none), 0 when
// one is not, -1 with an exception set.
[[nodiscard]] int type_resolved(const SpecEngine& engine);

// The value type values are checked against, resolved through forward
// references. Returns 0 with `out` set (null when the spec has none), or -1
// with an exception set.
[[nodiscard]] int value_type_obj(const SpecEngine& engine, py::Ref& out);

}  // namespace vesk::typing
