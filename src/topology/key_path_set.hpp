// KeyPathSet: a set of key paths kept as a trie of plain dicts, with set
// algebra, prefix queries and the text form of every formatted value.
#pragma once

#include "py/ref.hpp"

#include <atomic>
#include <cstdint>

namespace vesk::topology {

// The native state of a KeyPathSet (a py::Object<KeyPathSetState>). Its
// borrow flag is shared by every operation and exclusive only while `rebase`
// replaces the root.
struct KeyPathSetState {
    // The root node. Only dropped by the garbage collector's clear, after
    // which the set reads as empty.
    py::Ref root;
    // How many operations that change the trie are in: a branch dropped
    // whole while another one may be walking it is emptied too (see
    // key_path_set_trie.hpp). Readers are not counted: they store nothing.
    mutable std::atomic<std::uint32_t> writers{0};
    // Whether nodes of this trie may be reached from outside it: a view was
    // made of it or it is one (`subtree`), or its root was handed out
    // (`_trie`). Never cleared. Two sets can share a node only if both have
    // let theirs out, so two that have not merge and prune without reading
    // each other first (see key_path_set_trie.hpp).
    mutable std::atomic<bool> let_out{false};

    template <class V>
    void visit(V&& v) {
        v(root);
    }
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
