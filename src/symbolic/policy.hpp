// Assign policies: how a value stored under a key is owned when it already
// sits elsewhere. A policy is one of the texts "ref", "clone", "adopt" and
// "adopt_ref", compared exactly; any other text acts as no policy but is
// still handed on as given.
#pragma once

#include "py/ref.hpp"

namespace vesk::symbolic {

enum class Policy : unsigned char { None, Ref, Clone, Adopt, AdoptRef };

// The policy a str (or null) names.
[[nodiscard]] Policy parse_policy(PyObject* text) noexcept;

// The policy of the field that `schema` (null: none) gives for `key`:
// `schema.get_field(key).assign`, or `fallback` (null: none) when there is
// no schema, no field or no declared policy. A declared policy must be a str.
// True with `out` set (a new reference or null), false on error.
[[nodiscard]] bool field_policy(PyObject* schema, PyObject* key, PyObject* fallback,
                                py::Ref& out);

// The policy an object's class declares for its field `name`, through
// `type(obj).__schema__`; none without a schema, field or declared policy.
[[nodiscard]] bool class_field_policy(PyObject* obj, PyObject* name, py::Ref& out);

// The `assign` of a field object: null for None, a str, else the conversion
// TypeError. True, or false with the error set.
[[nodiscard]] bool read_field_assign(PyObject* field, py::Ref& out);

}  // namespace vesk::symbolic
