#include "typing/value_spec/spec_class/extend_support.hpp"

#include "typing/value_spec/engine/kind_ops.hpp"
#include "typing/value_spec/utilities/texts.hpp"

#include <cstdarg>

namespace vesk::typing {

namespace extension {

namespace {

int refuse_v(PyObject* child_repr, PyObject* base_repr, const char* tail_format, va_list va) {
    py::Ref tail = py::Ref::steal(PyUnicode_FromFormatV(tail_format, va));
    if (tail)
        PyErr_Format(PyExc_TypeError, "%U cannot extend %U%U", child_repr, base_repr, tail.get());
    return -1;
}

template <py::Literal Name>
py::Ref optional_read(PyObject* base) {
    py::Ref value = py::get_attr<Name>(base);
    if (!value) PyErr_Clear();
    return value;
}

}  // namespace

bool Reprs::take(PyObject* child_spec, PyObject* base_spec) {
    child = py_repr(child_spec);
    if (!child) return false;
    base = py_repr(base_spec);
    return static_cast<bool>(base);
}

BaseLimits read_limits(PyObject* base) {
    BaseLimits limits;
    limits.regex = optional_read<"regex">(base);
    limits.min_value = optional_read<"min_value">(base);
    limits.max_value = optional_read<"max_value">(base);
    return limits;
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
    PyObject* name;
    if (!py::intern<"extend">(name)) return -1;
    py::Ref done = py::Ref::steal(PyObject_CallMethodOneArg(target, name, base));
    return done ? 0 : -1;
}

}  // namespace extension

int common_kind::extend(SpecScope child, PyObject* base) {
    return extension::narrow_payload(
        child, base, [](SpecEngine&, const extension::BaseLimits&, const extension::Reprs&) {
            return 0;
        });
}

}  // namespace vesk::typing
