// A record's materialised `_sym_attributes` view and the reads around it.
//
// A record keeps its fields in inline cells; the package asks for a real
// symbolic dictionary of them only when an operation needs one. The view is
// built once per record and installed into the view cell (node-state role
// 6) with one install-if-empty step, so racing materialisations agree on
// one view. Once installed the view is authoritative: writes go through
// it, field reads prefer it, and the cells keep a stale snapshot.
//
// `inst` must be a record (kernel/record/slots.hpp; anything else is
// refused before memory is touched).
#pragma once

#include "py/ref.hpp"

#include <cstdint>

namespace vesk::symbolic::object {

// A record is blank by the class's `__slot_field_names__` when it has them,
// else by the first name of the given `field_names`, else by the
// reserved-count rule (record_node.hpp).

// The view, built and installed on first use; the installed one
// afterwards. A blank record raises AttributeError "'{}' object has no
// attribute '_sym_attributes'"; a record without the production reserved
// region the "materialize requires the full production reserved region"
// RuntimeError.
[[nodiscard]] py::Ref record_materialize(PyObject* inst, PyObject* field_names);

// Whether a view is installed: 1, 0 or -1 (never builds one).
[[nodiscard]] int record_is_materialized(PyObject* inst);

// The record's `_update_children_paths`: the view, or else each symbolic
// child that keeps a tree, gets the path under `new_path`, which must be a
// key path (else a bare AssertionError). Nothing for a `topo=False` record.
[[nodiscard]] int record_repath_children(PyObject* inst, PyObject* new_path);

// The raw cells of `field_names` as a dict (None for an empty cell); null
// `out` for a blank record. False with an exception.
[[nodiscard]] bool record_inline_fields(PyObject* inst, PyObject* field_names, py::Ref& out);

// Role `role` (null when empty); a blank record raises the "should call
// `super().__init__`" ValueError. False with an exception.
[[nodiscard]] bool record_node_read(PyObject* inst, std::uint64_t role, py::Ref& out);

}  // namespace vesk::symbolic::object
