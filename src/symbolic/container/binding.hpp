// The value-spec binding and construction steps SymDict and SymList take
// alike over their shared state: reading, binding and unbinding the spec,
// applying it to the container, settling `allow_partial` at the end of
// `custom_apply`, and the first and last steps of a construction.
//
// Each function takes the container's state type. Holds are short and end
// before any Python code runs; references a hold gives up are dropped after
// it ends.
#pragma once

#include "flags.hpp"
#include "py/args.hpp"
#include "py/borrow.hpp"
#include "py/layout.hpp"
#include "py/ref.hpp"
#include "symbolic/claim.hpp"

#include <cstdint>

namespace vesk::symbolic {

class PassLog;

// The bound value spec (null for none), read under a shared hold. False
// with "Already mutably borrowed" while the container is held for a write.
template <class S>
[[nodiscard]] bool read_bound_spec(PyObject* self, py::Ref& out);

// Binds `spec` without applying it. 0 or -1.
template <class S>
[[nodiscard]] int bind_spec(PyObject* self, PyObject* spec);

// `use_value_spec(None)`: drops the bound spec and opens accessor writes
// again. 0 or -1.
template <class S>
[[nodiscard]] int unbind_spec(PyObject* self);

// Whether the container's spec (or a flag a write checks, container/
// state.hpp) was replaced since a write read the count `binding` (its
// state's `binding()`), with the borrow refusal raised: a write stores a
// value checked against the spec it read only while that spec is still
// bound. What rebinds a live container (`use_value_spec`, `custom_apply`,
// a construction run again, the two schema-ful builders) claims it
// exclusively for its run (claim.hpp): a write of another thread in flight
// on it (or below it) checks its value while it holds its claims, so the
// two meet there and one fails at once with the borrow refusal, having
// changed nothing; a write that read the spec before the rebind and stores
// after it finds the count moved on and fails so itself.
template <class S>
[[nodiscard]] bool spec_replaced_since(PyObject* self, std::uint32_t binding) noexcept {
    if (py::state<S>(self).binding() == binding) return false;
    py::raise_claim_refused();
    return true;
}

// After a store of a value that is not plain: when the thread's
// allow_partial scope let the value through where the node's own flag
// `own_allow_partial` would not, the container's members are no longer
// known to pass its bound spec under its own flag (`loosened`), and an
// apply under that flag checks them again instead of taking them as
// applied.
template <class S>
inline void note_looser_store(PyObject* self, bool own_allow_partial) noexcept {
    if (own_allow_partial || !flags::forced(flags::FlagId::AllowPartial).value_or(false)) return;
    py::state<S>(self).loosened.store(true, std::memory_order_relaxed);
}

// The same after a construction filled the container: noted when a member
// that is not plain is held.
template <class S>
void note_looser_members(PyObject* self, bool own_allow_partial) noexcept;

// The end of `use_value_spec` with a spec, inside its `pass`: records
// `allow_partial`, then calls `spec.apply(self, allow_partial=,
// child_transform=, root_path=)` with the effective allow_partial, the
// bridge's symbolic transform when the container wraps its members, and the
// container's path; commits the pass once the apply stands. 0 or -1 (the
// pass then gives back what the call changed).
template <class S>
[[nodiscard]] int apply_spec(PyObject* self, PyObject* spec, bool allow_partial, PassLog& pass);

// The `use_value_spec(value_spec, allow_partial=False)` entry: parses the
// arguments (allow_partial must be a bool), runs `use` and answers the
// container.
[[nodiscard]] PyObject* use_value_spec_entry(PyObject* self, PyObject* const* args,
                                             Py_ssize_t nargs, PyObject* kwnames,
                                             int (*use)(PyObject*, PyObject*, bool));

// What `custom_apply` asks of the container's class.
struct CustomApplyRules {
    // Whether `spec` is of the class's own spec kind (Dict or List).
    bool (*is_own_spec)(PyObject* spec) noexcept;
    // Whether the very spec already bound is taken without asking it.
    bool bound_spec_is_compatible;
    // Raises the refusal of a spec incompatible with `bound`, located at
    // `path`. Returns -1.
    int (*refuse_incompatible)(PyObject* path, PyObject* bound, PyObject* spec);
};

// Names `container`, on the calling thread while the scope lives, as one
// whose construction bound its spec and then formalized its members without
// their fields: the spec's apply must still reach them, so `custom_apply`
// proceeds where it would take the container as applied already. Borrowed,
// compared by identity, used up by the first `custom_apply` it names.
class UnappliedMembersScope {
public:
    explicit UnappliedMembersScope(PyObject* container) noexcept;
    ~UnappliedMembersScope();
    UnappliedMembersScope(const UnappliedMembersScope&) = delete;
    UnappliedMembersScope& operator=(const UnappliedMembersScope&) = delete;

private:
    PyObject* saved_;
};

// `custom_apply(path, value_spec, allow_partial, child_transform=None)`:
// an unbound container binds a spec of its kind and proceeds; a bound one
// asks the incoming spec `is_compatible(bound)` (None is never
// incompatible), then records `allow_partial` and answers (proceed, self),
// proceed false only where a completed check stands for the flag: it was
// already that value (before the `use_value_spec` running now set it), no
// member was stored since under a looser scope than a strict flag allows
// (`loosened`), and the container is not named unapplied
// (UnappliedMembersScope). A bound spec stays bound only by an apply that
// stands: the apply's log (container/pass_log.hpp) gives the binding and
// the flag back when it fails. Claims the container for its work.
// `child_transform` is accepted and not used.
template <class S>
[[nodiscard]] PyObject* custom_apply(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames, const CustomApplyRules& rules);

// `cls.__new__(cls)`, which must make an instance of `type` (the SymDict or
// SymList class, which the caller passes; null when it could not be made).
[[nodiscard]] py::Ref new_container(PyObject* cls, PyTypeObject* type);

// Gives the node the parent `parent` (None clears). 0 or -1.
template <class S>
[[nodiscard]] int store_parent(PyObject* self, PyObject* parent);

// Stores the default origin (bridge.hpp) when there is one. 0 or -1.
template <class S>
[[nodiscard]] int store_default_origin(PyObject* self);

// The last step of a construction: the change callback, a refused accessor
// write when `accessor_writable` is false, and the seal when `sealed`.
// 0 or -1.
template <class S>
[[nodiscard]] int finish_construction(PyObject* self, PyObject* onchange_callback,
                                      bool accessor_writable, bool sealed);

}  // namespace vesk::symbolic
