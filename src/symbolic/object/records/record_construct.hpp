// Construction of records, the inline-slot layout of `slots=True` classes:
// the steps the native record `tp_init` (record_init.hpp) is made of, which the
// package also calls one by one through the `_slot_record_*` seams (its
// Python record `__init__` driver) and which clone construction reuses.
//
// A record is built in place: the keyword arguments are validated against
// the class's init-only schema and the formalised values written straight
// into the field cells; the node-state cells are seeded; symbolic children
// are adopted in two passes (paths first, then parents) with the record as
// their parent; the class's non-symbolic fields, its post-init hook and
// sealing finish it. Nothing is rolled back: a failure leaves the cells
// written so far, and the record still answers the blank test by its first
// init field's cell.
//
// `inst` must be a record (kernel/record/slots.hpp recognises it natively;
// anything else is refused before memory is touched). No critical section
// is held while Python code runs. Each function returns 0, or -1 with an
// exception set.
#pragma once

#include "py/ref.hpp"
#include "symbolic/object/construct/construct.hpp"

namespace vesk::symbolic::object {

struct RecordFacts;


// Validates `kwargs` (a dict, or null for none) against the class's
// init-only schema and writes the formalised values of `field_names` (a
// list of str, names of the record's layout) into their cells. Unexpected
// keywords are reported (or dropped under the class's ignore-extra option)
// before anything is validated; missing required fields are reported after
// validation, so a bad value wins over a missing sibling. `child_transform`
// and `root_path` may be null.
[[nodiscard]] int record_construct_cells(PyObject* inst, PyObject* field_names, PyObject* kwargs,
                                         bool allow_partial, PyObject* child_transform,
                                         PyObject* root_path);

// `record_construct_cells` with the class's record facts read already.
[[nodiscard]] int record_construct_cells_from(PyObject* inst, const RecordFacts& facts,
                                              PyObject* field_names, PyObject* kwargs,
                                              bool allow_partial, PyObject* child_transform,
                                              PyObject* root_path);
// Seeds the node-state cells: allow_partial, accessor_writable (the
// class's `attr_write`), sealed (`sealed`, else the class's `frozen`), the
// path (`root_path`, else the bridge's empty path), no parent; and the
// origin under the thread's origin tracking.
[[nodiscard]] int record_seed_node_state(PyObject* inst, bool allow_partial, SealedArg sealed,
                                         PyObject* root_path);

// Adopts the children in the cells of `field_names`: a first pass stamps
// paths (and clones or shares by the fields' assign policies), a second
// pass, under the record's adoption guard, gives the record as parent.
[[nodiscard]] int record_adopt_children(PyObject* inst, PyObject* field_names);

// The last steps of a construction: the non-symbolic fields (seeded, or
// copied from `clone`'s source), `on_sym_post_init()` unless it is a no-op,
// and `sym_seal(True)` when `sealed`.
[[nodiscard]] int record_finish(PyObject* inst, bool sealed, const CloneSource* clone);

// The adoption of children when every cell of `field_names` holds a
// primitive: nothing to stamp, so only the children of a materialised view
// may still need the record as their parent.
[[nodiscard]] int record_adopt_primitive_cells(PyObject* inst, PyObject* field_names);

// Seeds the node-state cells from facts already read: allow_partial,
// accessor_writable = `attr_write`, `sealed`, the path (`root_path`, else
// the bridge's empty path), no parent, and the origin under the thread's
// origin tracking.
[[nodiscard]] int record_seed_facts(PyObject* inst, bool allow_partial, bool sealed,
                                    bool attr_write, PyObject* root_path);

// `record_finish` with the class's `_non_symbolic_fields` read already and,
// unless null, its `_sym_post_init_is_noop` (read after the seeding
// otherwise).
[[nodiscard]] int record_finish_with(PyObject* inst, PyObject* non_symbolic,
                                     PyObject* post_init_noop, bool sealed,
                                     const CloneSource* clone);

// Whether the record is inside its own second adoption pass on this thread.
[[nodiscard]] bool record_adoption_covers(PyObject* inst) noexcept;

}  // namespace vesk::symbolic::object
