// A change of what a node's writes check their value and their permission
// against (its seal, its allow_partial and accessor_writable flags, its
// bound spec), made the one way every kind shares, so that a write never
// stores after such a change returned:
// - under the node's exclusive claim (claim.hpp): a write of another thread
//   in flight on the node or below it refuses the change at once, or is
//   refused by it, before its first effect;
// - in the critical section of the node's storage (the container itself, an
//   object's field dictionary), with the state's count moved on
//   (`spec_replaced`): a plain store, which claims nothing, compares the
//   count it read in that same section, so one that read the state before
//   the change and stores after it fails at once, having changed nothing;
// - another thread's momentary hold of the state (a read) is waited out
//   rather than failing the change made under the claim.
#pragma once

#include "py/critical_section.hpp"
#include "py/hold.hpp"
#include "symbolic/claim.hpp"
#include "symbolic/momentary.hpp"

namespace vesk::symbolic {

// Claims `node` exclusively in `claims` (re-entered when the scope, or one
// it runs inside, holds it already), then runs `change(state)` under the
// node's exclusive hold in `storage`'s critical section and moves the count
// on. 0, or -1 with the refusal (nothing changed).
template <class S, class F>
[[nodiscard]] int change_checked(ClaimScope& claims, PyObject* node, PyObject* storage,
                                 F&& change) {
    if (claims.exclusive(node) < 0) return -1;
    py::CriticalSection section(storage);
    return past_momentary_holds([&] {
        py::Exclusive<S> held(node);
        if (!held) return -1;
        change(*held);
        held->spec_replaced();
        return 0;
    });
}

// The same in a scope of its own, for a change that is the whole operation
// (a raw setter).
template <class S, class F>
[[nodiscard]] int change_checked(PyObject* node, PyObject* storage, F&& change) {
    ClaimScope claims;
    return change_checked<S>(claims, node, storage, static_cast<F&&>(change));
}

}  // namespace vesk::symbolic
