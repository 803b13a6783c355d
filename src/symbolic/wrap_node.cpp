#include "symbolic/wrap_node.hpp"

#include "py/errors.hpp"

namespace vesk::symbolic {

PyObject* build_wrap_node(PyObject*, PyObject* raw, PyObject*, std::uint8_t, PyObject*) {
    if (!PyDict_Check(raw) && !PyList_Check(raw)) {
        PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of list",
                     Py_TYPE(raw)->tp_name);
        return nullptr;
    }
    // The symbolic containers that do the wrapping are not part of this build.
    py::raise_internal("symbolic containers not available");
    return nullptr;
}

}  // namespace vesk::symbolic
