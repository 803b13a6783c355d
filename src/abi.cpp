#include "abi.hpp"

#include "py/function.hpp"
#include "py/module.hpp"

namespace vesk::abi {

namespace {

py::Ref make_version() { return py::Ref::steal(Py_BuildValue("(ll)", kMajor, kMinor)); }

PyObject* abi_version(PyObject*, PyObject*) { return make_version().release(); }

PyMethodDef abi_version_def = py::noargs("abi_version", abi_version);

}  // namespace

int register_module(PyObject* module) {
    if (py::add_function(module, &abi_version_def) < 0) return -1;
    return py::add_object(module, "__abi__", make_version());
}

}  // namespace vesk::abi
