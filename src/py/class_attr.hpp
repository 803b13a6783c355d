// Class attributes of native heap types. Types are made immutable (users
// cannot rebind their attributes), so their attributes are written into the
// type's dictionary while the type is being finished, before it is shared.
#pragma once

#include "py/ref.hpp"

namespace vesk::py {

// Stores `value` (consumed; null means an error is already set) as the class
// attribute `name` of `type`. Returns 0, or -1 with an exception set.
[[nodiscard]] inline int set_class_attr(PyTypeObject* type, const char* name, Ref value) {
    if (!value) return -1;
    Ref dict = Ref::steal(PyType_GetDict(type));
    if (!dict || PyDict_SetItemString(dict.get(), name, value.get()) < 0) return -1;
    PyType_Modified(type);
    return 0;
}

}  // namespace vesk::py
