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
// - Applied as a whole: an apply of a spec to a symbolic container (the
//   driver's full road, which may bind it through its `custom_apply`) and
//   the element pass inside it (which writes its members back by index or
//   key, with Python code running between) are one operation on the
//   container. For its run the engine asks the container to take it
//   (`ContainerPassScope`): the symbolic layer then claims the container
//   for it, holds its members in place during the element pass (other
//   threads' writes, and its own thread's writes that are not write-backs,
//   are refused), keeps every write-back, and gives back, should the apply
//   fail, what it changed: its binding and flags, and each member written
//   back. The symbolic layer installs how (`install_container_pass`); the
//   typing layer reaches it only through that cell.
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

// How an apply to a container is taken as one operation: `begin` answers a
// token to hand to `commit` or `abort`, null with the refusal set when
// another operation holds the container (or it cannot be taken), or
// `kNothingHeld` for a value that is no symbolic container. `members`: the
// element pass, whose container's members are held in place for it.
// `commit` may run Python code (notifications deferred to the end of the
// operation): 0, or -1 with the apply's changes standing. `abort` gives back
// what the apply changed, keeping the pending exception.
struct ContainerPass {
    void* (*begin)(PyObject* container, bool members);
    int (*commit)(void* token);
    void (*abort)(void* token) noexcept;
};
namespace detail {
inline char nothing_held_mark;
}  // namespace detail
inline void* const kNothingHeld = &detail::nothing_held_mark;

// Set once by the symbolic layer's registration; the first setting stays.
void install_container_pass(const ContainerPass* ops) noexcept;

// An apply to `container` taken as one operation while this lives: given
// back when it ends without `commit`.
class ContainerPassScope {
public:
    ContainerPassScope() noexcept = default;
    ~ContainerPassScope();
    ContainerPassScope(const ContainerPassScope&) = delete;
    ContainerPassScope& operator=(const ContainerPassScope&) = delete;

    // 0 taken (or nothing to take), -1 with the refusal.
    [[nodiscard]] int begin(PyObject* container, bool members);
    // The apply stands. 0, or -1 (its changes stand).
    [[nodiscard]] int commit();

private:
    void* token_ = nullptr;
};

}  // namespace vesk::typing
