#include "symbolic/wrap_node.hpp"

#include "py/args.hpp"
#include "py/errors.hpp"
#include "symbolic/dict/dict_ops.hpp"

namespace vesk::symbolic {

PyObject* build_wrap_node(PyObject* cls, PyObject* raw, PyObject* value_spec, std::uint8_t flags,
                          PyObject* path) {
    // The new node's parent stays unset: the caller adopts it.
    if (PyDict_Check(raw))
        return dict::wrap_dict(cls, raw, value_spec, flags != 0, path, nullptr).release();
    if (!PyList_Check(raw)) {
        py::raise_not_instance(raw, "list");
        return nullptr;
    }
    // The symbolic list that wraps lists is not part of this build.
    py::raise_internal("symbolic containers not available");
    return nullptr;
}

}  // namespace vesk::symbolic
