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

// A new list of the member paths of the trie at `root`, depth first, each
// node in insertion order.
[[nodiscard]] py::Ref collect_paths(PyObject* root);

}  // namespace vesk::topology
