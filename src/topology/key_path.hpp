// KeyPath: the immutable path of keys from a tree root to a node. Every
// symbolic node, child, error location and field update carries one, so the
// native entries here are the ones other subsystems call on their hot paths.
//
// Object layout. A KeyPath is a variable-size object: its keys live inline
// after the fixed part, `ob_size` of them, root first. They are fixed when the
// object is made and never change, so any thread may read them without a
// lock or a borrow for as long as it holds a reference to the path. The only
// state written later are two caches, the path text (a str) and the keys as
// Python objects (a tuple), each published once (first filler wins) and then
// served as is.
//
// The class is final: every KeyPath is exactly of `key_path_type()`.
//
// Errors follow the interpreter's convention: a null Ref (or PathsEq::Error)
// means an exception is set. Running out of memory for a key vector throws
// std::bad_alloc, which the guarded entry of the caller (py/entry.hpp) turns
// into MemoryError.
#pragma once

#include "py/once_slot.hpp"
#include "topology/key.hpp"

#include <cstdint>
#include <span>

namespace vesk::topology {

struct alignas(Key) KeyPathObject {
    PyObject_VAR_HEAD
    // The path text rendered with complex keys preserved; null until first
    // needed. Never cleared while the object lives.
    py::OnceSlot path_cache;
    // The keys as Python objects (a tuple), made on first need by the walks
    // that hand keys to containers, so repeated queries reuse the same
    // objects and their cached hashes.
    py::OnceSlot key_objects;

    [[nodiscard]] Key* key_data() noexcept {
        return reinterpret_cast<Key*>(reinterpret_cast<char*>(this) + sizeof(KeyPathObject));
    }
    [[nodiscard]] std::span<const Key> keys() noexcept {
        return {key_data(), static_cast<std::size_t>(Py_SIZE(this))};
    }
};

// The class, built on first use and shared process-wide (borrowed); null
// with an exception set when building it fails.
[[nodiscard]] PyTypeObject* key_path_type();

// The class when already built, else null (no error set): no KeyPath can
// exist before it is.
[[nodiscard]] PyTypeObject* key_path_type_if_built() noexcept;

// Whether `obj` is a KeyPath (exact type; the class is final).
[[nodiscard]] inline bool is_key_path(PyObject* obj) noexcept {
    PyTypeObject* type = key_path_type_if_built();
    return type && Py_TYPE(obj) == type;
}

// The keys of a KeyPath, root first. `path` must be a KeyPath; the span
// lives as long as the object.
[[nodiscard]] inline std::span<const Key> keys_of(PyObject* path) noexcept {
    return reinterpret_cast<KeyPathObject*>(path)->keys();
}
[[nodiscard]] inline Py_ssize_t depth_of(PyObject* path) noexcept { return Py_SIZE(path); }

// New KeyPath objects, with an empty path cache.
[[nodiscard]] py::Ref make_key_path(std::span<const Key> keys);
// Takes the keys over, without copying them.
[[nodiscard]] py::Ref make_key_path(KeyVec&& keys);
// The keys of `prefix` followed by those of `suffix`.
[[nodiscard]] py::Ref make_key_path(std::span<const Key> prefix, std::span<const Key> suffix);

// The class call `KeyPath(key_or_key_list, parent)`: either argument may be
// null (omitted) or None. A list (read item by item under its lock) or a
// tuple adds each element as a key; any other value, a str included, adds one
// key. A parent that is neither None nor a KeyPath raises TypeError.
[[nodiscard]] py::Ref new_key_path(PyObject* key_or_key_list, PyObject* parent);

// The path of a child: `parent`'s keys followed by `key` (none when `key` is
// None). `parent` may be null or None (the root). A list or tuple key, or a
// parent that is not a KeyPath, takes the class call above. Otherwise no
// interpreter code runs: the parent's keys are copied (one reference-count
// increment per string key) and one key is converted.
[[nodiscard]] py::Ref child_key_path(PyObject* key, PyObject* parent);

enum class PathsEq : std::uint8_t { Error, Equal, NotEqual, NotBoth };
// Equality of two key paths, key by key (`py_eq`). NotBoth when either object
// is not a KeyPath; callers then fall back to the interpreter's `==`.
[[nodiscard]] PathsEq keypaths_eq(PyObject* a, PyObject* b);

// Whether the paths `a` and `b` name one place: `keypaths_eq` for two native
// key paths, else the truth of Python's `a != b`, negated. 1, 0 or -1.
[[nodiscard]] int same_key_path(PyObject* a, PyObject* b);

// The path text of a KeyPath as a str, from its cache, rendering and
// publishing it on first use. `path` must be a KeyPath.
[[nodiscard]] py::Ref cached_path(PyObject* path);

// The keys of a KeyPath as a tuple of Python objects (borrowed, alive as long
// as the path), made on first use; null with an exception set on failure.
[[nodiscard]] PyObject* key_objects(PyObject* path);

// The key path of a path-like value: a KeyPath itself (same object); a str
// scanned as path text when it is empty or holds '.', '[' or ']', else one
// name key; an int (bool included) as one key. Anything else raises
// ValueError "{} is not a valid KeyPath equivalence.".
[[nodiscard]] py::Ref key_path_from_value(PyObject* value);

// `KeyPath.parse`: the keys of `parent` (null, None or a KeyPath) followed
// by those scanned from `path_str`, which must be a str.
[[nodiscard]] py::Ref parse_key_path(PyObject* path_str, PyObject* parent);

}  // namespace vesk::topology
