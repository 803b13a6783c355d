// Callable and Functor: specs of callable values, described by the specs of
// their positional arguments, the names and specs of their keyword
// arguments and the spec of their return value.
//
// Both share the Callable kind payload (spec_kind.hpp); `is_functor` tells
// them apart for the label, the serialization key, the annotation and the
// native class of a rebuilt spec. A Functor's value type is always the
// package's functor class; a Callable's is the `callable_type` it was given,
// unchecked, or none.
//
// Classes. `Callable` derives from SpecBase and is the one kind class that
// Python code may subclass; `Functor` is its final native subclass. Both are
// built on first use and shared process-wide; the accessors return the type
// (borrowed) or null with an exception set.
//
// Ownership: arguments are borrowed unless passed by value (consumed, also
// on failure). Errors follow the interpreter's convention: an empty optional
// or null with an exception set. Every operation here needs the typing
// bridge ("typing bridge not installed" otherwise).
#pragma once

#include "typing/value_spec/engine/build.hpp"

#include <optional>

namespace vesk::typing::callable {

[[nodiscard]] PyTypeObject* callable_type();
[[nodiscard]] PyTypeObject* functor_type();

// The one constructor of the kind. `args`, `kw` and `returns` may be null
// (omitted); `args` and `kw` also count as omitted when they test false.
// Every annotation is turned into a spec by the bridge's
// `value_spec_cls.from_annotation(a, auto_typing=True)`. `kw` is checked
// whole before any of its entries is converted, and the entries converted
// are the ones checked, whatever the conversions do to the caller's list.
// `callable_type` is dropped for a Functor.
[[nodiscard]] std::optional<SpecEngine> callable_base(PyObject* args, PyObject* kw,
                                                      PyObject* returns, py::Ref callable_type,
                                                      bool is_functor, SpecCommon common);

// The positional-argument description and the return annotation of a class
// subscript `cls[[A, B], R]` / `cls[..., R]`; false with TypeError unless
// there are exactly two type arguments (the message names `cls`).
[[nodiscard]] bool parse_callable_type_args(PyTypeObject* cls, PyObject* type_args,
                                            py::Ref& args, py::Ref& returns);

// `with_type_args(type_args)` on `cls` (Callable or Functor, or a Python
// subclass of either): always an instance of that class, never of the
// subclass, which only names itself in the count error. `__class_getitem__`
// is the same through `generic_getitem_result`.
template <bool IsFunctor>
PyObject* with_type_args(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
template <bool IsFunctor>
PyObject* class_getitem(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);

// A new Callable (or Functor) spec, never of a Python subclass, from the
// pair above with no keyword arguments and the default common options.
[[nodiscard]] py::Ref make_callable_spec(PyObject* args, PyObject* returns, bool is_functor);

}  // namespace vesk::typing::callable
