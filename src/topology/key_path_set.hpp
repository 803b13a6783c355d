// KeyPathSet: a set of key paths kept as a trie of plain dicts, with set
// algebra, prefix queries and the text form of every formatted value.
#pragma once

#include "py/borrow.hpp"
#include "py/ref.hpp"

namespace vesk::topology {

struct KeyPathSetObject {
    PyObject_HEAD
    // Shared by every operation; exclusive only while `rebase` replaces the
    // root.
    py::BorrowFlag borrow;
    // The root node. Only dropped by the garbage collector's clear, after
    // which the set reads as empty.
    PyObject* root;
};

// The class, built on first use (borrowed); null with an exception set.
[[nodiscard]] PyTypeObject* key_path_set_type();

// Whether `obj` is a KeyPathSet (exact type; the class is final).
[[nodiscard]] bool is_key_path_set(PyObject* obj) noexcept;

// `path + set`: a new set holding a deep copy of `set`'s paths, each prefixed
// by the keys of `path` (a KeyPath). `set` is left unchanged.
[[nodiscard]] py::Ref key_path_plus_set(PyObject* path, PyObject* set);

// Binds `KeyPathSet`.
[[nodiscard]] int register_key_path_set(PyObject* module);

}  // namespace vesk::topology
