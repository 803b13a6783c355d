#include "py/module.hpp"

namespace vesk::py {

namespace {

int append_to_all(PyObject* module, PyObject* name) {
    PyObject* raw = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__all__", &raw) < 0) return -1;
    Ref all = Ref::steal(raw);
    if (!all) {
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    }
    return PyList_Append(all.get(), name);
}

}  // namespace

int add_object(PyObject* module, const char* name, Ref value) {
    if (!value) return -1;
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    if (!key) return -1;
    if (PyObject_SetAttr(module, key.get(), value.get()) < 0) return -1;
    return append_to_all(module, key.get());
}

int add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    return add_object(module, def->ml_name,
                      Ref::steal(PyCMethod_New(def, module, module_name.get(), nullptr)));
}

int add_functions(PyObject* module, PyMethodDef* defs) {
    for (PyMethodDef* def = defs; def->ml_name; ++def)
        if (add_function(module, def) < 0) return -1;
    return 0;
}

int add_type(PyObject* module, PyTypeObject* type) {
    if (!type) return -1;
    Ref name = Ref::steal(PyType_GetName(type));
    if (!name) return -1;
    const char* utf8 = PyUnicode_AsUTF8(name.get());
    if (!utf8) return -1;
    return add_object(module, utf8, Ref::borrow(reinterpret_cast<PyObject*>(type)));
}

int add_int(PyObject* module, const char* name, long value) {
    return add_object(module, name, Ref::steal(PyLong_FromLong(value)));
}

}  // namespace vesk::py
