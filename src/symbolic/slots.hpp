// The slot entries of the node tables (node_ops.hpp) for the two storages
// the symbolic nodes share: a dict (a SymDict itself, an object's field
// dictionary) and a list (a SymList itself). Each reads or writes one slot
// in one critical section of the storage, with no Python code inside it
// beyond what the interpreter's own dict operations run for a key of a
// class of its own; a value a store gives up is released after the section.
#pragma once

#include "symbolic/node_ops.hpp"

namespace vesk::symbolic {

// `storage[slot.key]`, or null when absent.
[[nodiscard]] int dict_read_slot(PyObject* storage, SlotKey slot, py::Ref& out);
// Stores (or, for a null `value`, deletes) `slot.key` when it holds
// `expected` (null: absent).
[[nodiscard]] StoreOutcome dict_store_if(PyObject* storage, SlotKey slot, PyObject* expected,
                                         PyObject* value, py::Ref& now);

// The item at `slot.pos`, or null past the end.
[[nodiscard]] int list_read_slot(PyObject* storage, SlotKey slot, py::Ref& out);
// Replaces (or, for a null `value`, removes) the item at `slot.pos` when it
// is `expected`; a position past the end holds nothing, and storing there is
// IndexError "list index out of range" (the position vanished).
[[nodiscard]] StoreOutcome list_store_if(PyObject* storage, SlotKey slot, PyObject* expected,
                                         PyObject* value, py::Ref& now);

}  // namespace vesk::symbolic
