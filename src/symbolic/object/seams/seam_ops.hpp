// The operations behind the object seam functions (seams.hpp), on arguments
// already converted. Each returns false / -1 / null with an exception set.
#pragma once

#include "py/ref.hpp"
#include "symbolic/object/construct/construct.hpp"

namespace vesk::symbolic::object {

// A shallow clone of the SymObject `obj` in `out`, or `out` left null to
// decline (a blank object; a class keeping a tree whose fields hold a
// topology-aware value).
[[nodiscard]] bool clone_inline_shallow(PyObject* obj, py::Ref& out);

// Constructs `obj` from the validated values `kwargs` (a dict) with `clone`
// as the source of its non-symbolic attributes: 1 done, 0 declined (not a
// SymObject, nor a record with node-state cells), -1 error.
[[nodiscard]] int clone_construct(PyObject* obj, bool allow_partial, bool sealed,
                                  PyObject* kwargs, const CloneSource& clone);

// The rebinding write of `value` under `key`: the field update, None when
// nothing changed (a new reference either way), or null with an exception.
[[nodiscard]] py::Ref set_item_no_check(PyObject* obj, PyObject* key, PyObject* value);

}  // namespace vesk::symbolic::object
