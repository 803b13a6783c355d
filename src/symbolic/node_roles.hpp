// The node-state roles of a SymNode (node.hpp), for any native State that
// embeds one as `node` (SymDict, SymList, SymObject): roles 0, 1 and 5 are
// its references, 2 to 4 its flags; 6 and 7 are a record's alone, read as
// empty here and written nowhere. Read under the instance's shared hold,
// written under its exclusive hold; a reference given up is released after
// the hold ends.
#pragma once

#include "kernel/record/roles.hpp"
#include "py/hold.hpp"
#include "symbolic/node.hpp"

#include <utility>

namespace vesk::symbolic {

namespace detail {

template <class S>
auto node_ref(S& s, kernel::record::Role role) noexcept -> decltype(&s.node.parent) {
    using namespace kernel::record::roles;
    switch (role) {
        case kRoleParent: return &s.node.parent;
        case kRolePath: return &s.node.path;
        case kRoleOrigin: return &s.node.origin;
        default: return nullptr;
    }
}

template <class S>
auto node_flag(S& s, kernel::record::Role role) noexcept -> decltype(&s.node.sealed) {
    using namespace kernel::record::roles;
    switch (role) {
        case kRoleSealed: return &s.node.sealed;
        case kRoleAllowPartial: return &s.node.allow_partial;
        case kRoleAccessorWritable: return &s.node.accessor_writable;
        default: return nullptr;
    }
}

}  // namespace detail

// The truth a flag role stores: an empty value, or one whose truth test
// raises, counts as false (the exception is dropped).
[[nodiscard]] inline bool stored_truth(PyObject* value) noexcept {
    if (!value) return false;
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) PyErr_Clear();
    return truth > 0;
}

// The occupant of `role` (null when empty; True or False for a flag).
template <class S>
[[nodiscard]] int node_get_role(PyObject* inst, kernel::record::Role role, py::Ref& out) {
    py::Shared<S> held(inst);
    if (!held) return -1;
    if (const py::Ref* ref = detail::node_ref(*held, role))
        out = *ref;
    else if (const bool* flag = detail::node_flag(*held, role))
        out = py::Ref::borrow(*flag ? Py_True : Py_False);
    else
        out.reset();
    return 0;
}

// Stores `value` (null empties a reference; a flag takes its truth).
template <class S>
[[nodiscard]] int node_set_role(PyObject* inst, kernel::record::Role role, PyObject* value) {
    const bool truth = kernel::record::is_flag_role(role) && stored_truth(value);
    py::Ref dropped;  // released after the hold
    py::Exclusive<S> held(inst);
    if (!held) return -1;
    if (py::Ref* ref = detail::node_ref(*held, role))
        dropped = std::exchange(*ref, py::Ref::borrow(value));
    else if (bool* flag = detail::node_flag(*held, role))
        *flag = truth;
    held.release();
    return 0;
}

}  // namespace vesk::symbolic
