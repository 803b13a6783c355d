// How path-like values enter and leave a KeyPathSet trie: conversion to the
// Python forms of their keys, and the stored paths collected back as KeyPath
// objects in trie order.
#pragma once

#include "topology/key_path_set_trie.hpp"

namespace vesk::topology {

struct PathKeys {
    py::Ref path;  // the converted KeyPath
    trie::PyKeys keys;
    // The first key whose Python form equals the end marker, or null. Such a
    // key cannot be told from the marker once stored.
    py::Ref marker_key;
};

// Converts a path-like value (a KeyPath, a str, an int) as `KeyPath.from_value`
// does. False with an exception set on failure.
[[nodiscard]] bool path_keys(PyObject* value, PathKeys& out);

// Like `path_keys`, for a path about to be stored: a key equal to the end
// marker is a ValueError.
[[nodiscard]] bool storable_path_keys(PyObject* value, PathKeys& out);

// The node at a path-like value, converting and looking up one key at a
// time: 1 with `node` set, 0 when some key is absent (a key equal to the end
// marker is never stored, so it counts as absent), -1 on error. `keys_seen`
// tells whether the path had any key.
[[nodiscard]] int find_node(PyObject* root, PyObject* value, py::Ref& node, bool& keys_seen);

// A new list of the member paths of the trie at `root`, depth first, each
// node in insertion order.
[[nodiscard]] py::Ref collect_paths(PyObject* root);

}  // namespace vesk::topology
