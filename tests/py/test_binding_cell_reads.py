"""A once-made cell (an interned name, an imported attribute, a keyword
tuple, an int) is read only together with the answer whether it exists, and
the by-name helpers test it themselves: a read that skips the test does not
build as CI builds (warnings are errors)."""

from compile_check import compile_snippets

PRELUDE = """
#include "py/named.hpp"
namespace py = vesk::py;
"""

VALID = """
py::Ref checked(PyObject* obj) {
    PyObject* name;
    if (!py::intern<"keys">(name)) return {};
    PyObject *fn, *kw, *number;
    if (!py::imported<"copy", "deepcopy">(fn) || !py::names<"a", "b">(kw) ||
        !py::constant_int<3>(number))
        return {};
    py::Ref found;
    if (py::get_optional_attr<"x">(obj, found) < 0 || py::has_attr<"y">(obj) < 0) return {};
    PyObject* args[] = {obj, Py_None, Py_True};
    py::Ref r = py::call_method_kw<"apply", "allow_partial">(args);
    PyObject* kwargs[] = {Py_False};
    py::Ref s = py::call_kw<"markdown">(obj, kwargs);
    py::Ref t = py::call_imported<"copy", "copy">(obj);
    return py::call_method<"extend">(obj, name);
}
"""

UNCHECKED = {
    "read handed to the C API": (
        "PyObject* f(PyObject* o) { PyObject* n; return PyObject_GetAttr(o, py::intern<\"x\">(n)); }",
        "cannot convert",
    ),
    "answer dropped": (
        "PyObject* f(PyObject* o) { PyObject* n = nullptr; py::intern<\"x\">(n);"
        " return PyObject_GetAttr(o, n); }",
        "ignoring return value",
    ),
    "imported answer dropped": (
        "void f() { PyObject* fn = nullptr; py::imported<\"copy\", \"copy\">(fn); }",
        "ignoring return value",
    ),
    "keyword tuple dropped": (
        "void f() { PyObject* kw = nullptr; py::names<\"a\">(kw); }",
        "ignoring return value",
    ),
    # No form hands out the object alone, to be tested or not.
    "interned name alone": (
        "PyObject* f(PyObject* o) { return PyObject_GetAttr(o, py::intern<\"x\">()); }",
        "no matching function",
    ),
    "imported attribute alone": (
        "PyObject* f() { return py::imported<\"copy\", \"copy\">(); }",
        "no matching function",
    ),
    "keyword tuple alone": (
        "PyObject* f() { return py::names<\"a\", \"b\">(); }",
        "no matching function",
    ),
    "int alone": (
        "PyObject* f() { return py::constant_int<3>(); }",
        "no matching function",
    ),
    "call argument that is no object": (
        "py::Ref f(PyObject* o) { return py::call_method<\"x\">(o, 5); }",
        "call_method",
    ),
    "keyword call without the values": (
        "py::Ref f(PyObject* o) { PyObject* a[] = {o}; return py::call_method_kw<\"x\", \"k\">(a); }",
        "call_method_kw",
    ),
}


def test_checked_reads_build_and_unchecked_ones_do_not():
    names = list(UNCHECKED)
    results = compile_snippets([PRELUDE + VALID] + [PRELUDE + UNCHECKED[n][0] for n in names],
                               flags=("-Werror",))
    ok, output = results[0]
    assert ok, output
    for name, (ok, output) in zip(names, results[1:]):
        assert not ok, name
        assert UNCHECKED[name][1] in output, f"{name}:\n{output}"
