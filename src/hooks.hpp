// The two process-wide hook cells through which the typing layer reaches the
// symbolic layer without depending on it. Set once by the module's execution
// step; a set cell never changes.
#pragma once

#include "py/once_cell.hpp"

#include <cstdint>

namespace vesk::hooks {

// Answer of the native partial test.
enum class Partial : std::uint8_t {
    Error,       // an exception is set
    No,          // decided: fully bound
    Yes,         // decided: partial
    Declined,    // not a native symbolic object: ask its `sym_partial`
};

// Given a value, decides whether it is a partial symbolic object.
using SymPartialFn = Partial(PyObject* value);
// Given the target symbolic class, a raw dict or list, the field's value spec,
// a flag byte and the child key path, returns the wrapped container (a new
// reference) or null with an exception set.
using WrapNodeFn = PyObject*(PyObject* cls, PyObject* raw, PyObject* value_spec,
                             std::uint8_t flags, PyObject* path);

inline py::OnceCell<SymPartialFn> SYM_PARTIAL_HOOK;
inline py::OnceCell<WrapNodeFn> WRAP_NODE_HOOK;

}  // namespace vesk::hooks
