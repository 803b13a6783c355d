// The classifications of one value spec from which the field metadata
// builder, the element rules and the funnel compile their plans; this is
// their one home. A native spec is classified from its engine state under a
// shared borrow (a spec held for mutation stops the test at once with
// "Already mutably borrowed"); any other object through the probe attributes
// a spec written in Python offers.
//
// Functions returning bool report failure with false and an exception set;
// their answer goes to `out` (a null Ref meaning "none").
#pragma once

#include "py/ref.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"

namespace vesk::typing::funnel {

// Whether a native spec applies values as its kind alone says: not frozen
// and without a transform. Every shortcut requires it.
[[nodiscard]] inline bool untouched(const SpecEngine& e) noexcept {
    return !e.frozen && !e.transform;
}

// Facts about a native spec read in one borrow; all false for any other
// object.
struct NativeFacts {
    bool is_native = false;
    bool untouched = false;    // not frozen and without transform
    bool is_any = false;
    bool is_float = false;     // a Float spec
    bool strict_true = false;  // strict is explicitly True
    bool is_tuple = false;
    bool is_list = false;
    bool is_union = false;  // a Union spec, subclasses included
    bool noneable = false;
};
[[nodiscard]] bool native_facts(PyObject* spec, NativeFacts& out);

// The class whose exact instances the spec accepts unchanged (any spec
// object; `exact_leaf_type` of the engine answers for a native one).
[[nodiscard]] bool spec_exact_leaf_type(PyObject* spec, py::Ref& out);
// The class of values that one `_validate` call of the spec decides (any
// spec object; `checked_leaf_type` of the engine answers for a native one).
[[nodiscard]] bool spec_checked_leaf_type(PyObject* spec, py::Ref& out);
// The value class of an untouched native Object spec.
[[nodiscard]] bool is_object_candidate(PyObject* spec, py::Ref& out);
// An untouched native List, Tuple or Dict spec.
[[nodiscard]] bool is_container_candidate(PyObject* spec, bool& out);
// Whether the exact leaf type of `spec` is exactly int, str, float, bool,
// bytes or NoneType.
[[nodiscard]] bool proven_scalar_leaf(PyObject* spec, bool& out);

// What one spec accepts as it is, as a field's candidate or as an element:
// the one classification from which the field records (`FieldMeta`) and the
// element rules compile. A native spec is read under one shared hold (an
// Object spec's forward reference is resolved after it); any other object
// through the probe attributes of a spec written in Python, as the functions
// above read them.
struct Acceptance {
    NativeFacts facts;
    py::Ref exact;    // exact instances accepted unchanged (`spec_exact_leaf_type`)
    py::Ref checked;  // exact instances decided by one `_validate` (`spec_checked_leaf_type`)
    py::Ref object;   // an untouched Object spec's class (`is_object_candidate`)
    bool container = false;   // `is_container_candidate`
    // An untouched native Float that is not strict: it applies an exact int
    // as `float(int)` (then checks its bounds, when it has any).
    bool widens_int = false;
    // A native spec that is noneable and untouched gives None back as it is.
    bool takes_none = false;
};
// What a reader asks for, and so which attributes of Python objects may be
// read: an element rule never asks for the checked leaf (so a spec written in
// Python is not asked `_checked_leaf_type`); a field record asks for all; the
// schema's constant-key entries read engine state only (a forward reference
// is left unresolved, and any other object answers nothing).
enum class AcceptanceReads : unsigned char { Element, Field, EngineOnly };
[[nodiscard]] bool spec_acceptance(PyObject* spec, AcceptanceReads reads, Acceptance& out);

// How a container spec is filled: `code` 1 for a List (its element spec) or
// a Dict (its open value spec; none proves nothing), 0 for a Tuple (every
// element field's `value`, read by name), 2 for anything else. `proven` is
// true when those element specs are all proven scalar leaves; callers take
// a code other than 2 with `proven` as "every element is a proven scalar".
struct FillInfo {
    int code = 2;
    bool proven = false;
};
[[nodiscard]] bool container_fill_info(PyObject* spec, FillInfo& out);

// A child transform that leaves scalars unchanged says so with the attribute
// `_vesk_scalar_identity` (presence only). 1, 0 or -1.
[[nodiscard]] int is_scalar_identity_transform(PyObject* fn);

}  // namespace vesk::typing::funnel
