#include "symbolic/claimed.hpp"

namespace vesk::symbolic {

bool ClaimedSet::contains(PyObject* value) const noexcept {
    if (!py_set_) return ids_.count(value) != 0;
    const int r = PySet_Contains(py_set_, value);
    if (r < 0) PyErr_Clear();
    return r == 1;
}

void ClaimedSet::add(PyObject* value) {
    if (py_set_) {
        if (PySet_Add(py_set_, value) < 0) PyErr_Clear();
        return;
    }
    if (ids_.insert(value).second) kept_.push_back(py::Ref::borrow(value));
}

}  // namespace vesk::symbolic
