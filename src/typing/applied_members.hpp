// What the spec engine and a symbolic container tell each other, on the
// calling thread, about members that have passed their field already. A
// field's apply runs user code (a transform need not be idempotent), so a
// member must not be applied a second time on its way into a container.
//
// - Written back: the engine stores an element or entry it applied into a
//   symbolic container through the container's own write (a list's
//   `_set_item_without_permission_check`, a dict's item assignment), which
//   formalizes whatever it is given. For the length of that call the engine
//   names the write (`AppliedWriteScope`): whether the value passed a whole
//   field or only a value spec, and which one. The container's write that
//   matches it (same container, key and value) uses the name up; when what
//   applied the value is the container's own field for the key (or that
//   field's value spec), under an `allow_partial` the container's own
//   allows, it wraps and adopts the value without applying it again (a
//   value that passed only the spec still meets the field's validator). A
//   value another spec applied (one applied to the container
//   from outside, not the one bound to it) meets the container's own field
//   as any value does; so do any other write and a write whose value is not
//   the one named.
// - Formalized at construction: a list that formalized its new members
//   through its element field before applying its spec names them
//   (`AppliedMembersScope`: from which index on, through which field); the
//   engine's element pass over that list leaves those members as they are.
//
// Both are borrowed pointers compared by identity, live only while the
// scope that names them does; neither holds a reference.
//
// - Held for an element pass: the engine's pass over a list that is not a
//   plain `list` reads its members by index and writes each applied one
//   back at its index, with Python code running between. For its run it asks
//   the container to hold its members in place (`HeldMembersScope`): a
//   symbolic list then refuses other threads' writes, which would move them
//   (a write-back would land over another member, one member would be
//   applied twice and another never). The symbolic layer installs how
//   (`install_members_hold`); the typing layer reaches it only through that
//   cell.
#pragma once

#include "py/once_cell.hpp"
#include "py/python.hpp"

namespace vesk::typing {

// What a written-back value has passed already.
enum class Applied : unsigned char {
    No,           // nothing: formalized as any value
    ThroughField, // the field's own `apply`
    ThroughSpec,  // the field's value spec's `apply` (the field's validator not yet)
};

// What a written-back value passed, and what applied it: the field
// (ThroughField) or the value spec (ThroughSpec); borrowed, compared by
// identity only. `allow_partial`: the apply's own, which may have let a
// missing value or an object not fully bound through where the container
// would not.
struct AppliedWrite {
    Applied through = Applied::No;
    PyObject* by = nullptr;
    bool allow_partial = false;
};

class AppliedWriteScope {
public:
    AppliedWriteScope(PyObject* container, PyObject* key, PyObject* value, Applied through,
                      PyObject* by, bool allow_partial) noexcept;
    ~AppliedWriteScope();
    AppliedWriteScope(const AppliedWriteScope&) = delete;
    AppliedWriteScope& operator=(const AppliedWriteScope&) = delete;

private:
    PyObject* saved_[3];
    AppliedWrite saved_applied_;
};

// What this write of `value` under `key` into `container` has passed, when
// it is the one the engine named (nothing otherwise); a match uses the name
// up. Keys match by identity, or as exact ints of the same value. Runs no
// Python code.
[[nodiscard]] AppliedWrite take_applied_write(PyObject* container, PyObject* key,
                                              PyObject* value) noexcept;

class AppliedMembersScope {
public:
    AppliedMembersScope(PyObject* container, PyObject* field, Py_ssize_t from) noexcept;
    ~AppliedMembersScope();
    AppliedMembersScope(const AppliedMembersScope&) = delete;
    AppliedMembersScope& operator=(const AppliedMembersScope&) = delete;

private:
    PyObject* saved_container_;
    PyObject* saved_field_;
    Py_ssize_t saved_from_;
};

// How many leading members of `container`, which holds `n`, an element pass
// through `field` still applies: `n`, or fewer when the members from some
// index on were named as formalized through that very field; the name is
// used up.
[[nodiscard]] Py_ssize_t members_to_apply(PyObject* container, PyObject* field,
                                          Py_ssize_t n) noexcept;

// How a container's members are held for an element pass: `hold` answers a
// token to give `let_go` when the pass ends, null with the refusal set when
// another operation holds them (or they cannot be held), or `kNothingHeld`
// for a container that holds nothing for a pass (not a symbolic list).
// `let_go` runs no Python code.
struct MembersHold {
    void* (*hold)(PyObject* container);
    void (*let_go)(void* token) noexcept;
};
namespace detail {
inline char nothing_held_mark;
}  // namespace detail
inline void* const kNothingHeld = &detail::nothing_held_mark;

// Set once by the symbolic layer's registration; the first setting stays.
void install_members_hold(const MembersHold* ops) noexcept;

// Holds `container`'s members for the element pass this scope spans.
class HeldMembersScope {
public:
    HeldMembersScope() noexcept = default;
    ~HeldMembersScope();
    HeldMembersScope(const HeldMembersScope&) = delete;
    HeldMembersScope& operator=(const HeldMembersScope&) = delete;

    // 0 held (or nothing to hold), -1 with the refusal.
    [[nodiscard]] int hold(PyObject* container);

private:
    void* token_ = nullptr;
};

}  // namespace vesk::typing
