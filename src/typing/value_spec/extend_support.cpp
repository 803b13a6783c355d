#include "typing/value_spec/extend_support.hpp"

#include "typing/value_spec/utils.hpp"

#include <cstdarg>

namespace vesk::typing::extension {

namespace {

int refuse_v(PyObject* child_repr, PyObject* base_repr, const char* tail_format, va_list va) {
    py::Ref tail = py::Ref::steal(PyUnicode_FromFormatV(tail_format, va));
    if (tail)
        PyErr_Format(PyExc_TypeError, "%U cannot extend %U%U", child_repr, base_repr, tail.get());
    return -1;
}

}  // namespace

bool Reprs::take(PyObject* child_spec, PyObject* base_spec) {
    child = py_repr(child_spec);
    if (!child) return false;
    base = py_repr(base_spec);
    return static_cast<bool>(base);
}

int refuse(const Reprs& reprs, const char* tail_format, ...) {
    va_list va;
    va_start(va, tail_format);
    refuse_v(reprs.child.get(), reprs.base.get(), tail_format, va);
    va_end(va);
    return -1;
}

int refuse_of(PyObject* child, PyObject* base, const char* tail_format, ...) {
    Reprs reprs;
    if (!reprs.take(child, base)) return -1;
    va_list va;
    va_start(va, tail_format);
    refuse_v(reprs.child.get(), reprs.base.get(), tail_format, va);
    va_end(va);
    return -1;
}

int is_instance(PyObject* obj, PyTypeObject* (*type_fn)()) {
    PyTypeObject* type = type_fn();
    if (!type) return -1;
    return PyObject_IsInstance(obj, reinterpret_cast<PyObject*>(type));
}

int call_extend(PyObject* target, PyObject* base) {
    PyObject* name = py::intern<"extend">();
    if (!name) return -1;
    py::Ref done = py::Ref::steal(PyObject_CallMethodOneArg(target, name, base));
    return done ? 0 : -1;
}

}  // namespace vesk::typing::extension
