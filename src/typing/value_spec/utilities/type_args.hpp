// Type arguments and annotations, for the class-getitem forms of the spec
// classes, the constructors that take annotations, and `|` of SpecBase.
//
// Errors raised by the Python calls made here propagate unchanged; those that
// read the typing bridge fail with "typing bridge not installed" when it is
// absent. A null Ref means an exception is set.
#pragma once

#include "py/ref.hpp"

namespace vesk::typing {

// The arguments of `X[...]` as a tuple: a tuple (subclasses included) is
// returned itself, anything else wrapped in a one-element tuple.
[[nodiscard]] py::Ref as_type_args(PyObject* args);

// `value_spec_cls.from_annotation(annotation, auto_typing=True)` of the
// bridge; the result is returned unchanged. (Not the function installed by
// `_install_field_from_annotation`.)
[[nodiscard]] py::Ref from_annotation(PyObject* annotation);

// `union_cls[(a, b)]` of the bridge: the `|` of two specs.
[[nodiscard]] py::Ref union_getitem(PyObject* a, PyObject* b);

// What `Spec[...]` returns: `spec.annotation` while `typing.TYPE_CHECKING`
// is true, else the spec itself. Consumes `spec`.
[[nodiscard]] py::Ref generic_getitem_result(py::Ref spec);

// The built-in `object` class (borrowed; never fails).
[[nodiscard]] inline PyObject* builtin_object_type() noexcept {
    return reinterpret_cast<PyObject*>(&PyBaseObject_Type);
}

}  // namespace vesk::typing
