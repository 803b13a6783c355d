// The value spec a Dict applies to every str key when its schema accepts any
// str: the one place that decides it, for construction, extension and deep
// copies of Dict specs.
#pragma once

#include "py/ref.hpp"

namespace vesk::typing {

// For `schema` (a Schema object, or null / None for none): 1 with `out` set
// when the schema has exactly one field, whose key is an instance of the
// bridge's `str_key_cls` with `regex` None (the field's `value`); 0 for
// anything else; -1 with an exception set. Every read goes through the
// attributes (`fields`, its `items()`, `regex`, `value`).
[[nodiscard]] int compute_open_str_value_spec(PyObject* schema, py::Ref& out);

}  // namespace vesk::typing
