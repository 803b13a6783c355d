// Reading a SymList's items one at a time, each under the list's lock when
// its turn comes, while code between the reads may shrink the list.
#pragma once

#include "py/critical_section.hpp"

namespace vesk::symbolic {

// The item at position `i`, or null with IndexError "list index out of
// range" when the list no longer reaches it.
[[nodiscard]] inline py::Ref item_or_index_error(PyObject* list, Py_ssize_t i) {
    py::Ref item = py::list_item(list, i);
    if (!item) PyErr_SetString(PyExc_IndexError, "list index out of range");
    return item;
}

}  // namespace vesk::symbolic
