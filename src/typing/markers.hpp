// The class markers through which user classes opt into native behaviour,
// and the partial-value test.
//
// A marker counts by its presence on the value's class (a marker set to
// False still counts); it is looked up on the class, never on the instance.
// A class whose metaclass is exactly `type` is answered from the type's
// attribute cache without running any Python code; for other metaclasses the
// lookup goes through the metaclass, and an error its attribute hook raises
// propagates. Predicates answer 1 / 0 / -1 (exception set).
#pragma once

#include "py/lazy.hpp"
#include "py/ref.hpp"

namespace vesk::typing {

// Whether `name` (an interned str) is an attribute of the value's class; the
// attribute's value is not used.
[[nodiscard]] int class_has_attr(PyObject* value, PyObject* name);

// The same for the name `Name`.
template <py::Literal Name>
[[nodiscard]] int has_class_marker(PyObject* value) {
    PyObject* name;
    if (!py::intern<Name>(name)) return -1;
    return class_has_attr(value, name);
}

// `__vesk_custom_typing__`: the value's own `custom_apply` takes over its apply.
[[nodiscard]] int is_custom_typing(PyObject* value);
// `__vesk_maybe_partial__`: the value may be a partially bound symbolic object.
[[nodiscard]] int is_maybe_partial(PyObject* value);
// `__vesk_copy_if_default__`: a default of this class is copied for each use.
[[nodiscard]] int is_copy_if_default(PyObject* value);

// Whether `value` is partial: the native partial test of symbolic objects
// (the partial hook cell) decides when it can; otherwise the truth of the
// value's `sym_partial` attribute. A missing attribute (AttributeError), a
// failing read or truth test propagates.
[[nodiscard]] int read_sym_partial(PyObject* value);

// Whether a spec asks for symbolic storage: its `symbolic` attribute when
// that is exactly True or False, else `fallback`. Any error reading it is
// dropped (and answered with `fallback`); never raises.
[[nodiscard]] bool spec_storage(PyObject* spec, bool fallback) noexcept;

}  // namespace vesk::typing
