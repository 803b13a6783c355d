#include "typing/value_spec/utilities/candidate_map.hpp"

#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/lazy.hpp"

namespace vesk::typing {

namespace {

// Maps `cls` to `candidate`: 1 when mapped (or already mapped to it), 0 when
// `cls` is not a class or is claimed by another candidate, -1 on error.
int claim(PyObject* map, PyObject* cls, PyObject* candidate) {
    if (!PyType_Check(cls)) return 0;
    PyObject* found = nullptr;
    const int r = PyDict_GetItemRef(map, cls, &found);
    py::Ref holder = py::Ref::steal(found);
    if (r < 0) return -1;
    if (r > 0) return found == candidate ? 1 : 0;
    return PyDict_SetItem(map, cls, candidate) < 0 ? -1 : 1;
}

}  // namespace

int build_candidate_type_map(PyObject* candidates, bool some_without_value_type, py::Ref& out) {
    if (some_without_value_type) return 0;
    if (!PyList_Check(candidates)) {
        py::raise_arg_type("candidates", "list", candidates);
        return -1;
    }
    // Candidates are read one at a time under the list's lock; each is then
    // asked with no lock held.
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref candidate = py::list_item(candidates, i);
        if (!candidate) break;
        py::Ref refs = py::get_attr<"forward_refs">(candidate.get());
        if (!refs) return -1;
        const int truthy = PyObject_IsTrue(refs.get());
        if (truthy) return truthy < 0 ? -1 : 0;
    }
    py::Ref map = py::Ref::steal(PyDict_New());
    if (!map) return -1;
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref candidate = py::list_item(candidates, i);
        if (!candidate) break;
        py::Ref value_type = py::get_attr<"_value_type">(candidate.get());
        if (!value_type) return -1;
        if (PyTuple_Check(value_type.get())) {
            const Py_ssize_t n = PyTuple_GET_SIZE(value_type.get());
            for (Py_ssize_t k = 0; k < n; ++k) {
                const int r =
                    claim(map.get(), PyTuple_GET_ITEM(value_type.get(), k), candidate.get());
                if (r <= 0) return r;
            }
        } else {
            const int r = claim(map.get(), value_type.get(), candidate.get());
            if (r <= 0) return r;
        }
    }
    out = std::move(map);
    return 1;
}

}  // namespace vesk::typing
