// How path-like values enter and leave a KeyPathSet trie: conversion to the
// Python forms of their keys, and the stored paths collected back as KeyPath
// objects in trie order.
#pragma once

#include "topology/key.hpp"
#include "topology/key_path_set_trie.hpp"

#include <cstdint>
#include <span>
#include <string_view>

namespace vesk::topology {

// The keys of a path-like value (a KeyPath, a str, an int; converted as
// `KeyPath.from_value` does) as the Python objects a trie is keyed by. The
// common values need no KeyPath: a KeyPath lends the key objects it caches,
// a plain str without path syntax or a plain int is its own one key, and a
// plain str of names and integer indices is scanned straight into key
// objects. Other values go through a KeyPath. Keys are converted one at a
// time as they are asked for.
class PathForms {
public:
    // False with an exception set when `value` is not path-like. `value`
    // must outlive this object.
    [[nodiscard]] bool init(PyObject* value);
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    // The Python form of key `i`; null with an exception set on failure.
    [[nodiscard]] py::Ref form(std::size_t i) const;
    // 1 when key `i`, whose Python form is `form`, equals the end marker,
    // 0 when not, -1 on error.
    [[nodiscard]] int is_marker(std::size_t i, PyObject* form) const;

    // One key of a quickly scanned path text: a name (bytes of the text) or
    // an integer.
    struct Segment {
        std::string_view name;
        std::int64_t number;
        bool is_int;
    };
    static constexpr std::size_t kMaxSegments = 16;

private:
    enum class Mode : std::uint8_t { Keys, Objects, Own, Segments };

    PyObject* value_ = nullptr;
    Mode mode_ = Mode::Keys;
    py::Ref path_;                  // the converted KeyPath, when one was made
    PyObject* objects_ = nullptr;   // a KeyPath's cached key tuple (borrowed)
    std::span<const Key> keys_;     // the keys of `value_` or of `path_`
    Segment segments_[kMaxSegments];
    std::size_t size_ = 0;
};

struct PathKeys {
    trie::PyKeys keys;
    // The first key whose Python form equals the end marker, or null. Such a
    // key cannot be told from the marker once stored.
    py::Ref marker_key;
};

// Converts a path-like value to the Python forms of all its keys. False with
// an exception set on failure.
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
