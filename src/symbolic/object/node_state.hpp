// One node-state interface over the two layouts of symbolic objects: a
// SymObject keeps its node state in its State (under its borrow flag), a
// record in the reserved cells of its instance (one critical section per
// cell, kernel/record/slots.hpp). Roles:
//
//   0 parent   1 key path   2 sealed   3 allow_partial   4 accessor_writable
//   5 origin   6 a record's materialised `_sym_attributes` view
//   7 a record's derived caches
//
// On a SymObject roles 6 and up read as empty and writes to them are
// ignored. On a record, role 8 and up and any role beyond its root's
// reserved cells are refused by the kernel before memory is touched.
// A record is recognised natively (`kernel::record::is_record`), never by
// its class's attributes.
//
// The topology operations run the package's hooks (`on_topo_parent_change`,
// `on_topo_path_change`, `_update_children_paths`, children's `sym_seal`,
// a record's `_require_topo`) by name, with no hold and no critical section
// held. Each returns 0, or -1 with an exception set.
#pragma once

#include "kernel/record/roles.hpp"
#include "py/ref.hpp"
#include "symbolic/object/class_facts.hpp"

#include <cstdint>

namespace vesk::symbolic::object {

using namespace kernel::record::roles;

// The occupant of `role` in `out` (null when empty; True or False for a
// SymObject's flags). TypeError "node-state ABI: `inst` is neither a
// SymObject nor an inline-slot record" for any other instance.
[[nodiscard]] int get_role(PyObject* inst, std::uint64_t role, py::Ref& out);

// Stores `value` (null empties the role). Flag roles 2..4 store its truth;
// an empty value, or one whose truth test raises, stores False and the
// exception is dropped.
[[nodiscard]] int set_role(PyObject* inst, std::uint64_t role, PyObject* value);

// The topology gate: passes when `facts.topo_enabled`; otherwise a SymObject
// gets the bridge's topology error for `operation`, and anything else has
// its `_require_topo(operation)` called.
[[nodiscard]] int topology_gate(PyObject* inst, const NodeFacts& facts, const char* operation);

// The blank-object guard over both layouts; nothing for other instances.
[[nodiscard]] int blank_guard(PyObject* inst);

// Sets the parent (null: none) and fires `on_topo_parent_change(old, new)`
// when it changed and the hook is overridden.
[[nodiscard]] int set_parent(PyObject* inst, PyObject* parent);

// Sets the key path (null: none) unless it equals the current one, then
// re-paths the children: through `_update_children_paths(old, new)` for a
// record or a SymObject that overrides it, natively otherwise (followed by
// an overridden `on_topo_path_change(old, new)`).
[[nodiscard]] int set_path(PyObject* inst, PyObject* path, const NodeFacts& facts);

// Replaces the origin with `origin_cls(source, tag, stacktrace, stacklimit,
// stacktop - 1)`; the current origin's source must be None or `source`.
[[nodiscard]] int set_origin(PyObject* inst, PyObject* source, PyObject* tag,
                             PyObject* stacktrace, PyObject* stacklimit, std::int64_t stacktop);

// Seals or unseals the instance and its symbolic children. A SymObject
// stores its own flag first and skips everything when it already has the
// value; a record seals its children (or its materialised view) first and
// its own flag last, every time.
[[nodiscard]] int seal(PyObject* inst, bool is_seal);

}  // namespace vesk::symbolic::object
