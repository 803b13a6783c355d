// The acceptance funnel: the fast-accept tier in front of a field's full
// apply. Given a value and the compiled FieldMeta of the field receiving it,
// it decides natively, without calling the field's or the spec's `apply`,
// whether the value is taken unchanged, taken in a converted form, taken
// after a container fast path, or must go to the full apply.
//
// It never adds a message of its own: failures are those of `float(value)`,
// of a spec's `_validate`, of a marker or `sym_partial` read, or of a
// container fast path, passed on unchanged. A partial object that is not
// allowed, a non-native value spec and a kind without a fast path are never
// errors here: they are Deferred, and the full apply decides. The funnel
// takes no lock; native specs are borrowed shared only while a fast path
// reads them, and the FieldMeta is immutable.
//
// Errors follow the interpreter's convention: `FunnelOutcome::Error` (or -1,
// null) with an exception set.
#pragma once

#include "py/ref.hpp"
#include "typing/field/field_meta.hpp"

#include <cstdint>

namespace vesk::typing::funnel {

struct FunnelOutcome {
    enum class Kind : std::uint8_t {
        Error,
        // Accept the value unchanged.
        Verbatim,
        // Accept `value` instead (an int widened to float).
        Produced,
        // Accept `value`, which a container fast path returned; the caller
        // decides whether to wrap it into a symbolic container.
        Wrap,
        // Undecided: the caller runs the full apply.
        Deferred,
    };
    Kind kind = Kind::Deferred;
    py::Ref value;
};

// The caller's context for one value.
struct FunnelCtx {
    // The KeyPath of the receiving container; null or None for the root.
    PyObject* parent_path = nullptr;
    bool allow_partial = false;
    // Validation hooks receive None instead of the value's path.
    bool no_path = false;
    // Whether the field's apply, were the value deferred to it, would work
    // in place: without it, a container taken by a rule beyond the plain
    // ones comes back as the copies that apply would make.
    bool inplace = true;
};

// The pure tier: accept-any, an exact listed class, or an int widened to
// float; anything else Deferred.
[[nodiscard]] FunnelOutcome funnel_leaf(PyObject* value, const field::FieldMeta& meta);

// Whether a value that the pure tier produced still goes through a typed
// leaf check in `funnel_accept` (a bounded Float given a widened int).
[[nodiscard]] bool leaf_needs_check(const field::FieldMeta& meta, PyObject* produced) noexcept;

// Whether `funnel_accept` answers `value` by itself, accepted as it is or
// produced by the pure tier, or raises: true for a value the pure tier takes
// and for one of a checked leaf class; false when it may defer or hand back
// a container, and whenever the shortcuts are off. Runs no Python code.
[[nodiscard]] bool funnel_claims(PyObject* value, const field::FieldMeta& meta) noexcept;

// The full fast tier: the pure tier, then the checked leaves (validated by
// their spec's `_validate` with the child path of `key`), the Object
// candidates, and the container fast paths of a native container value spec.
[[nodiscard]] FunnelOutcome funnel_accept(PyObject* value, const field::FieldMeta& meta,
                                          PyObject* key, const FunnelCtx& ctx);

// The exact-class shortcut of an Object spec: 1 with the value accepted
// verbatim (exactly of class `cls`, and not partial unless partial values are
// allowed), 0 undecided, -1 error.
[[nodiscard]] int object_accept(PyObject* cls, PyObject* value, bool allow_partial);

}  // namespace vesk::typing::funnel
