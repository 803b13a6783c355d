// What the kinds' `annotation` and `strict_children` entries share: nested
// specs asked by attribute name (`annotation`, `value`, `as_annotation`), so
// specs written in Python take part.
//
// Errors: a null Ref or false with an exception set.
#pragma once

#include "py/lazy.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"

#include <vector>

namespace vesk::typing {

// The stored value type, or the bridge's missing value when there is none.
[[nodiscard]] py::Ref value_type_or_missing(const SpecEngine& engine);
// `obj.annotation`, with a missing value replaced by typing.Any.
[[nodiscard]] py::Ref filled_annotation(PyObject* obj);
// `field.value.annotation`, filled.
[[nodiscard]] py::Ref field_value_annotation(PyObject* field);
// A forward reference's `as_annotation()`.
[[nodiscard]] py::Ref forward_annotation(PyObject* forward_ref);
// `generic[args]`.
[[nodiscard]] py::Ref subscript(PyObject* generic, PyObject* args);
// `typing.Name[args]`.
template <py::Literal Name>
[[nodiscard]] py::Ref typing_subscript(PyObject* args) {
    PyObject* generic;
    if (!py::imported<"typing", Name>(generic)) return {};
    return subscript(generic, args);
}
// A tuple of `each(item)` for every item of `list`, read one at a time.
[[nodiscard]] py::Ref annotations_of_items(PyObject* list, py::Ref (*each)(PyObject* item));

// Appends `field.value` of each field that iterating `fields` yields.
[[nodiscard]] bool append_field_values(PyObject* fields, std::vector<py::Ref>& out);

}  // namespace vesk::typing
