// What the kinds' `forward_refs` entries share: sets of the forward
// references of nested specs, asked by attribute name (`forward_refs`,
// `value`), so specs written in Python count too.
//
// Errors: a null Ref or -1 with an exception set.
#pragma once

#include "py/ref.hpp"

#include <cstdint>

namespace vesk::typing {

// A new empty `set`, made by calling the built-in `set`.
[[nodiscard]] py::Ref new_ref_set();

// `refs.update(obj.forward_refs)`; 0 or -1.
[[nodiscard]] int add_forward_refs_of(PyObject* refs, PyObject* obj);

// Which object of each list item is asked: the item, its `value`, or its
// item 1 (a keyword entry's spec).
enum class RefsOf : std::uint8_t { Item, Value, Second };

// Adds the refs of each item of `list`, read one at a time under its lock
// (the calls in between run Python code); 0 or -1.
[[nodiscard]] int add_forward_refs_of_items(PyObject* refs, PyObject* list, RefsOf part);

// A new set holding the refs of the items of `list`.
[[nodiscard]] py::Ref forward_refs_of_items(PyObject* list, RefsOf part);

// A new set holding the one forward reference, or the bridge's shared empty
// frozenset when `ref` is null (Object and Type).
[[nodiscard]] py::Ref forward_refs_of_one(PyObject* ref);

}  // namespace vesk::typing
