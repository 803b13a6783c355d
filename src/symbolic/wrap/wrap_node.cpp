#include "symbolic/wrap/wrap_node.hpp"

#include "py/args.hpp"
#include "symbolic/adoption.hpp"
#include "symbolic/dict/dict_ops.hpp"
#include "symbolic/list/list_ops.hpp"

namespace vesk::symbolic {

PyObject* build_wrap_node(PyObject* cls, PyObject* raw, PyObject* value_spec, std::uint8_t flags,
                          PyObject* path) {
    // The new node's parent stays unset: the caller adopts it. It is made
    // for the operation whose apply wraps it (adoption.hpp).
    const bool allow_partial = flags != 0;
    AdoptionLog::MadeFor made;
    if (PyDict_Check(raw))
        return dict::wrap_dict(cls, raw, value_spec, allow_partial, path, nullptr).release();
    if (PyList_Check(raw))
        return list::wrap_list(cls, raw, value_spec, allow_partial, path, nullptr).release();
    py::raise_not_instance(raw, "list");
    return nullptr;
}

}  // namespace vesk::symbolic
