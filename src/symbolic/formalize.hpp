// Member formalization: turning a value stored in a symbolic container into
// its formal value. The governing field (if any) validates it, a raw dict or
// list is wrapped into a symbolic container through the bridge's
// `wrap_value`, and the result is adopted as a child with parent and key
// path. `SymDict` and `SymList` share it; each builds the context from its
// own state (the list's element spec plays the field's role).
//
// Formalization stores nothing: the caller stores the result, so a failure
// leaves the container as it was. Fields and specs are reached by attribute
// name; no hold is kept while they run.
#pragma once

#include "py/ref.hpp"
#include "symbolic/adoption.hpp"
#include "symbolic/claimed.hpp"
#include "typing/applied_members.hpp"
#include "typing/value_spec/engine/spec_kind.hpp"

namespace vesk::symbolic {

struct FormalizeContext {
    py::Ref assign;             // default assign policy (a str), or null
    PyObject* container = nullptr;
    py::Ref parent_to_set;      // what adopted children get as parent (may be None)
    py::Ref path;               // the container's path, or null
    bool enable_topo = true;
    bool effective_allow_partial = false;
    bool own_allow_partial = false;
    bool wrap = true;
    bool auto_wrap = true;
    // A missing value under a field becomes the field's default.
    bool missing_takes_default = false;
    // The field's compiled record is used only while compiled from its
    // specs as they are now (a list asks its element afresh on every use).
    bool current_meta = false;
    // The members were read from another container (AdoptArgs).
    bool clone_if_claimed = false;
    // The member goes in before a list's position (AdoptArgs).
    bool inserting = false;
    // What the value has passed already (the spec engine applied it and
    // writes it back, typing/applied_members.hpp): it is wrapped and adopted,
    // not applied again; one that passed only the field's value spec meets
    // the validator of a native field. A missing value replaced by the
    // field's default still has the default applied.
    typing::Applied applied = typing::Applied::No;
    // Set for an object's attributes container: whether a constant-key
    // field's member is wrapped when its spec does not say.
    typing::Tri object_field = typing::Tri::Unset;
    // The formal value is adopted; without, it is returned as validated and
    // wrapped, for `adopt_member` to adopt later (a batch write adopts each
    // member as its turn to be stored comes).
    bool adopt = true;
};

// The formal value of `value` stored under `key`; `field` null for none.
// With `keep`, the adoption of the result is kept there (how to undo its
// stamping should the caller's store fail; adoption.hpp) and the result is
// `keep->value`.
[[nodiscard]] py::Ref formalize_member(PyObject* key, PyObject* field, PyObject* value,
                                       const FormalizeContext& ctx, ClaimedSet* claimed,
                                       Adoption* keep = nullptr);

// Adopts `formal`, which `formalize_member` made without adopting it, under
// `key` with `field`'s policy (else the context's own), as that would have.
[[nodiscard]] py::Ref adopt_member(PyObject* key, PyObject* field, PyObject* formal,
                                   const FormalizeContext& ctx, ClaimedSet* claimed,
                                   Adoption* keep = nullptr);

// Refuses `formal` as `adopt_member` would if placing it under `key` closed
// a cycle (refuse_cycle), adopting nothing: a batch asks it of every value
// before it places the first. 0 or -1.
[[nodiscard]] int refuse_member_cycle(PyObject* key, PyObject* field, PyObject* formal,
                                      const FormalizeContext& ctx, ClaimedSet* claimed);

// What `value`, which the spec engine writes back (typing/applied_members.hpp),
// has passed of `field`, the container's own field for its key (null for
// none): what the engine named, when what applied the value is that very
// field or its value spec under an allow_partial the container's own
// (`allow_partial`, its effective flag) allows; No when another spec
// applied it, or when the apply let partial values through that the
// container refuses (a primitive is never partial), so `field` decides it
// as any value. Runs no Python code for a native field. 0, or -1 with an
// exception set.
[[nodiscard]] int own_field_applied(const typing::AppliedWrite& named, PyObject* field,
                                    PyObject* value, bool allow_partial, typing::Applied& out);

// The calling thread's allow_partial scope when it is True or False, else
// the container's own flag.
[[nodiscard]] bool effective_flag_allow_partial(bool own) noexcept;

// A spec's `auto_wrap` as a bool; true with no spec, and when the attribute
// cannot be read or is not a bool. Never fails.
[[nodiscard]] bool auto_wrap_answer(PyObject* spec) noexcept;

// `field.enable_validation`, which must be a bool. 1, 0 or -1.
[[nodiscard]] int field_validates(PyObject* field);

// `field.apply(value, allow_partial=, transform_fn=, root_path=)`.
[[nodiscard]] py::Ref call_field_apply(PyObject* field, PyObject* value, bool allow_partial,
                                       PyObject* transform, PyObject* root_path);

}  // namespace vesk::symbolic
