#include "symbolic/claimed.hpp"

#include "py/args.hpp"

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

bool arg_claimed_set(PyObject* value, std::optional<ClaimedSet>& out) {
    if (!value || value == Py_None) return true;
    if (!PySet_Check(value)) {
        py::raise_arg_type("seen", "set or None", value);
        return false;
    }
    out.emplace(value);
    return true;
}

}  // namespace vesk::symbolic
