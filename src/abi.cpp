#include "abi.hpp"

#include "py/methods.hpp"
#include "py/module.hpp"
#include "register.hpp"

namespace vesk::abi {

namespace {

py::Ref make_version() { return py::Ref::steal(Py_BuildValue("(ll)", kMajor, kMinor)); }

PyObject* abi_version(PyObject*) { return make_version().release(); }

PyMethodDef functions[] = {
    py::method<abi_version>("abi_version"),
    py::kMethodsEnd,
};

}  // namespace

int register_module(PyObject* module) {
    if (py::add_functions(module, functions) < 0) return -1;
    return py::add_object(module, "__abi__", make_version());
}

}  // namespace vesk::abi
