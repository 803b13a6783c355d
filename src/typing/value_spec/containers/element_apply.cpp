#include "typing/value_spec/containers/element_apply.hpp"

#include "py/lazy.hpp"
#include "topology/key_path.hpp"

namespace vesk::typing::containers {

py::Ref element_path(const ApplyOptions& options, Py_ssize_t index) {
    py::Ref key = py::Ref::steal(PyLong_FromSsize_t(index));
    if (!key) return {};
    return topology::child_key_path(key.get(), options.root_path);
}

py::Ref apply_element(PyObject* callee, PyObject* element, const ApplyOptions& options,
                      PyObject* path, bool with_transform) {
    PyObject* method = py::intern<"apply">();
    if (!method) return {};
    PyObject* partial = options.allow_partial ? Py_True : Py_False;
    PyObject* inplace = options.inplace ? Py_True : Py_False;
    if (with_transform) {
        PyObject* kwnames = py::names<"allow_partial", "inplace", "transform_fn", "root_path">();
        if (!kwnames) return {};
        PyObject* transform = options.child_transform ? options.child_transform : Py_None;
        PyObject* args[] = {callee, element, partial, inplace, transform, path};
        return py::Ref::steal(
            PyObject_VectorcallMethod(method, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    }
    PyObject* kwnames = py::names<"allow_partial", "inplace", "root_path">();
    if (!kwnames) return {};
    PyObject* args[] = {callee, element, partial, inplace, path};
    return py::Ref::steal(
        PyObject_VectorcallMethod(method, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

}  // namespace vesk::typing::containers
