// Spec extension: `SpecBase.extend(base)` makes the child a narrowing of a
// base spec. The child keeps every constraint it states, takes from the base
// what it leaves open (transform, strictness, bounds, regex, container
// parts) and is refused with TypeError when it would accept what the base
// refuses.
//
// Extension works in place and is not atomic: each change to the child is
// one exclusive hold (`with_base_mut`, extend_support.hpp) and what was
// stored before a later failure stays. The result is the child itself,
// except for a frozen child over an Enum base, which gives a new frozen
// Enum. Both specs are read through their Python attributes by name, so the
// base and every nested part may be any object offering them; nested parts
// are extended by calling their own `extend` by name.
#pragma once

#include "py/ref.hpp"

namespace vesk::typing {

// `extend(base)` (METH_O on SpecBase): the extended child, a new frozen Enum,
// or null with the exception set.
PyObject* spec_extend(PyObject* self, PyObject* base);

}  // namespace vesk::typing
