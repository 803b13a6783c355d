// What an attribute write asks of a symbolic object's class: the schema the
// class records, its `topo` option, and the public init field of a name.
// These facts belong to the class's constructor metadata; until that cache
// exists they are read from the class's attributes on each write, so a
// change of the class is seen at once.
#pragma once

#include "py/ref.hpp"

namespace vesk::symbolic::object {

struct WriteClassFacts {
    py::Ref schema;      // the class's `__schema__`
    bool topo = false;   // the `topo` option, as a strict bool
};

// Whether an attribute name (a str) is public: empty, or not beginning
// with "_".
[[nodiscard]] inline bool is_public_name(PyObject* name) noexcept {
    return PyUnicode_GET_LENGTH(name) == 0 || PyUnicode_READ_CHAR(name, 0) != '_';
}

// The class facts of `cls`. False with an exception set when a read failed.
[[nodiscard]] bool write_class_facts(PyObject* cls, WriteClassFacts& out);

// The field of the class's init field `name` when the name is public (empty
// or not beginning with "_"), in `out` (null when there is none). 1 found,
// 0 not an init field, -1 error.
[[nodiscard]] int public_init_field(PyObject* cls, PyObject* name, py::Ref& out);

}  // namespace vesk::symbolic::object
