// The two tests every native JSON road shares with the package's wire
// format: which values travel as they are, and which strings the package
// would read back as one of its markers. A road that meets a marker-like
// key (or a list led by a marker-like string) declines, since only the
// package knows how to escape it.
#pragma once

#include "py/ref.hpp"

namespace vesk::symbolic::json {

// None, or exactly an int, float, str or bool (a subclass is not).
[[nodiscard]] inline bool is_wire_primitive(PyObject* value) noexcept {
    if (value == Py_None) return true;
    PyTypeObject* type = Py_TYPE(value);
    return type == &PyLong_Type || type == &PyUnicode_Type || type == &PyFloat_Type ||
           type == &PyBool_Type;
}

// A str that, after any number of leading backslashes, is "_type",
// "__ref__", "__root__", "__tuple__" or "__context__". A str that could not
// travel as UTF-8 (a lone surrogate) counts as marker-like too, once it
// begins as a marker would. Anything but a str is not. Never fails and runs
// no Python code.
[[nodiscard]] bool is_marker_like(PyObject* value) noexcept;

// A new dict holding only "_type": the serialisation key of `obj`'s class,
// which leads every object's JSON form. Null with an exception set.
[[nodiscard]] py::Ref type_head(PyObject* obj);

// Whether `key`, stored into a form made by `type_head`, could replace its
// "_type" entry or stand beside it: the text "_type", or any key that is
// not an exact str, whose hash and equality are its own to say (a str
// subclass may hash like "_type" under other text, or hash apart under that
// text), so only declining is sure. Runs no Python code.
[[nodiscard]] bool takes_head_place(PyObject* key) noexcept;

// Whether `key` may be copied into a dictionary's JSON-ready form (which
// has no head): a wire primitive, whose hash and equality are the
// interpreter's own, so it equals a marker only by being its very text,
// which the marker test sees. Any other key (a str subclass, an object
// with `__eq__` of its own) could pass for a marker under other text.
[[nodiscard]] inline bool is_plain_key(PyObject* key) noexcept { return is_wire_primitive(key); }

}  // namespace vesk::symbolic::json
