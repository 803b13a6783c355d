"""A declared hold is checked when the table entry is compiled: a hold that
cannot be taken for the function's receiver, or a refusal the function cannot
return, does not build."""

import pytest

from compile_check import compile_snippets

PRELUDE = """
#include "py/type.hpp"
namespace py = vesk::py;
struct S { int n = 0; };
"""

VALID = """
PyObject* get(const py::Shared<S>& self) { return PyLong_FromLong(self->n); }
int set(const py::Exclusive<S, py::Refuse::Mutation>& self, PyObject*) { self->n = 1; return 0; }
PyObject* cmp(const py::Shared<S, py::Refuse::NotImplemented>&, PyObject*, int) { return nullptr; }
PyObject* scoped(py::Scoped<S> self, PyObject* const*, Py_ssize_t, PyObject*) {
    auto r = self.shared();
    return r ? PyLong_FromLong(r->n) : r.refusal();
}
Py_ssize_t len(const py::Shared<S>& self) { return self->n; }
PyGetSetDef getters[] = {py::getter<get, set>("n"), py::kGettersEnd};
PyMethodDef methods[] = {py::method<scoped>("scoped"), py::method<get>("get"), py::kMethodsEnd};
PyType_Slot slots[] = {py::slot<Py_tp_richcompare, cmp>(), py::slot<Py_mp_length, len>()};
"""

REFUSED = {
    "binary operator slot": (
        "PyObject* add(const py::Shared<S>&, PyObject*) { return nullptr; }\n"
        "PyType_Slot s = py::slot<Py_nb_add, add>();",
        "first argument is not always an instance",
    ),
    "class method": (
        "PyObject* f(const py::Shared<S>&) { return nullptr; }\n"
        "PyMethodDef d = py::class_method<f>(\"f\");",
        "a class method has no instance to hold",
    ),
    "static method, its docstring from Params": (
        "PyObject* f(const py::Shared<S>&, PyObject*) { return nullptr; }\n"
        "py::Params<1> p{\"f\", {\"x\"}, 1, 1};\n"
        "PyMethodDef d = py::static_method<f>(\"f\", p);",
        "a static method has no instance to hold",
    ),
    # A shared hold hands out the State read-only.
    "write through a shared hold": (
        "PyObject* g(const py::Shared<S>&) { return nullptr; }\n"
        "int s(const py::Shared<S>& self, PyObject*) { self->n = 1; return 0; }\n"
        "PyGetSetDef d = py::getter<g, s>(\"n\");",
        "read-only",
    ),
    "hold not taken by const reference": (
        "PyObject* f(py::Shared<S>&) { return nullptr; }\n"
        "PyMethodDef d = py::method<f>(\"f\");",
        "a hold is declared as",
    ),
    "NotImplemented from a setter": (
        "PyObject* g(const py::Shared<S>&) { return nullptr; }\n"
        "int s(const py::Exclusive<S, py::Refuse::NotImplemented>&, PyObject*) { return 0; }\n"
        "PyGetSetDef d = py::getter<g, s>(\"n\");",
        "only a function returning an object can answer NotImplemented",
    ),
}


def test_declared_holds_compile_and_misdeclared_ones_do_not():
    names = list(REFUSED)
    results = compile_snippets([PRELUDE + VALID] + [PRELUDE + REFUSED[n][0] for n in names])
    ok, output = results[0]
    assert ok, output
    for name, (ok, output) in zip(names, results[1:]):
        assert not ok, name
        assert REFUSED[name][1] in output, f"{name}:\n{output}"
