// The slot entries of the node tables (node_ops.hpp) for the two storages
// the symbolic nodes share: a dict (a SymDict itself, an object's field
// dictionary) and a list (a SymList itself). Each reads or writes one slot
// in one critical section of the storage, with no Python code inside it
// beyond what the interpreter's own dict operations run for a key of a
// class of its own; a value a store gives up is released after the section.
#pragma once

#include "py/critical_section.hpp"
#include "symbolic/node_ops.hpp"

#include <cstdint>

namespace vesk::symbolic {

// An item assignment's index the list of `length` items does not reach.
inline void raise_assignment_out_of_range(Py_ssize_t length, std::int64_t index) {
    PyErr_Format(PyExc_IndexError, "list assignment index out of range. Length=%zd, index=%lld",
                 length, static_cast<long long>(index));
}

// `storage[slot.key]`, or null when absent.
[[nodiscard]] int dict_read_slot(PyObject* storage, SlotKey slot, py::Ref& out);
// Stores (or, for a null `value`, deletes) `slot.key` when it holds
// `expected` (null: absent). The caller holds the dict's critical section.
[[nodiscard]] inline StoreOutcome dict_store_locked(PyObject* storage, SlotKey slot,
                                                    PyObject* expected, PyObject* value,
                                                    py::Ref& now) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(storage, slot.key, &found) < 0) return StoreOutcome::Error;
    now = py::Ref::steal(found);
    if (!store_expects(now.get(), expected, value)) return StoreOutcome::Changed;
    if (!value && !now) return StoreOutcome::Done;
    const int r =
        value ? PyDict_SetItem(storage, slot.key, value) : PyDict_DelItem(storage, slot.key);
    return r < 0 ? StoreOutcome::Error : StoreOutcome::Done;
}
// The same in its own critical section. Inline: the hot writes call it
// directly.
[[nodiscard]] inline StoreOutcome dict_store_if(PyObject* storage, SlotKey slot,
                                                PyObject* expected, PyObject* value,
                                                py::Ref& now) {
    // `now` outlives the section: releasing what was replaced may run a
    // finaliser.
    py::CriticalSection section(storage);
    return dict_store_locked(storage, slot, expected, value, now);
}

// The item at the slot's position (`SlotKey::at`), or null past the end.
[[nodiscard]] int list_read_slot(PyObject* storage, SlotKey slot, py::Ref& out);
// Replaces (or, for a null `value`, removes) the item at the slot's position when it
// is `expected` (or, for a slot that follows it, wherever it is now, when it
// is there alone); a
// position past the end holds nothing, and storing there is
// IndexError (the position vanished): the list assignment's own message,
// with the length found and the caller's index, for a named slot, else
// "list index out of range". The caller holds the list's critical section.
[[nodiscard]] inline StoreOutcome list_store_locked(PyObject* storage, SlotKey slot,
                                                    PyObject* expected, PyObject* value,
                                                    py::Ref& now) {
    const Py_ssize_t size = PyList_GET_SIZE(storage);
    const bool follows =
        slot.follow && expected && expected != kPlainSlot && !is_primitive(expected);
    Py_ssize_t pos = follows ? slot.pos : slot.at(size);
    bool inside = pos >= 0 && pos < size;
    now = inside ? py::Ref::borrow(PyList_GET_ITEM(storage, pos)) : py::Ref();
    if (!store_expects(now.get(), expected, value)) {
        if (!follows) return StoreOutcome::Changed;
        // Moved: followed where it is the list's only such item. One held at
        // several places (an enum member, a shared tuple) is not told apart:
        // the slot is then taken as an unfollowed one is.
        Py_ssize_t found = -1;
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (PyList_GET_ITEM(storage, i) != expected) continue;
            if (found >= 0) {
                found = -1;
                break;
            }
            found = i;
        }
        pos = found >= 0 ? found : slot.at(size);
        inside = pos >= 0 && pos < size;
        now = inside ? py::Ref::borrow(PyList_GET_ITEM(storage, pos)) : py::Ref();
        if (now.get() != expected) return StoreOutcome::Changed;
    }
    if (!inside) {
        if (!value) return StoreOutcome::Done;
        if (slot.named)
            raise_assignment_out_of_range(PyList_GET_SIZE(storage), slot.index);
        else
            PyErr_SetString(PyExc_IndexError, "list index out of range");
        return StoreOutcome::Error;
    }
    if (value) {
        if (PyList_SetItem(storage, pos, py::Ref::borrow(value).release()) < 0)
            return StoreOutcome::Error;
    } else if (PyList_SetSlice(storage, pos, pos + 1, nullptr) < 0) {
        return StoreOutcome::Error;
    }
    return StoreOutcome::Done;
}

}  // namespace vesk::symbolic
