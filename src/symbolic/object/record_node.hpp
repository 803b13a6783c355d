// What the node-state interface (and record construction) reads of a
// record instance beyond its raw cells: whether it was ever constructed,
// and its symbolic children. `inst` must be a record (kernel/record/slots.hpp
// decides that natively); the class facts come from the class's attributes.
#pragma once

#include "py/ref.hpp"

#include <utility>
#include <vector>

namespace vesk::symbolic::object {

// Whether the record was allocated but never constructed: for a class with
// init fields (`__slot_field_names__` non-empty) the first init field's
// cell is empty; for one without, the record reserves node-state cells and
// its allow_partial cell (role 3) is empty. A record without a role 3 cell
// and without init fields is never blank. 1, 0 or -1.
[[nodiscard]] int record_is_blank(PyObject* inst);

// The record's part of the blank-object guard: a blank record raises the
// "should call `super().__init__`" ValueError. 0 or -1.
[[nodiscard]] int record_read_guard(PyObject* inst);

using NamedValues = std::vector<std::pair<py::Ref, py::Ref>>;

// The record's symbolic fields in order, as (name, value) pairs: the names
// of the class's `__slot_symbolic_field_names__` (a list of str), each
// value read raw from its cell (None when empty). False with an exception.
[[nodiscard]] bool record_symbolic_children(PyObject* inst, NamedValues& out);

}  // namespace vesk::symbolic::object
