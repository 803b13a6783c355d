// Making key paths and the native entries other subsystems call.
#include "topology/key_path.hpp"

#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "topology/key_path_impl.hpp"
#include "topology/path_text.hpp"

#include <new>

namespace vesk::topology {

namespace {

// A new, uninitialised path object with room for `n` keys; the caller
// constructs every key before handing the object out.
[[nodiscard]] KeyPathObject* alloc_path(std::size_t n) {
    PyTypeObject* type = key_path_type();
    if (!type) return nullptr;
    PyObject* raw = type->tp_alloc(type, static_cast<Py_ssize_t>(n));
    if (!raw) return nullptr;
    auto* self = reinterpret_cast<KeyPathObject*>(raw);
    new (&self->path_cache) py::OnceSlot();
    new (&self->key_objects) py::OnceSlot();
    return self;
}

// Copies `keys` into the object from position `at`; copying a key never
// throws (text is shared, objects are referenced again).
void copy_keys(KeyPathObject* self, std::size_t at, std::span<const Key> keys) noexcept {
    Key* dst = self->key_data() + at;
    for (const Key& k : keys) new (dst++) Key(k);
}

[[nodiscard]] bool bad_parent(PyObject* parent) {
    if (parent && parent != Py_None && !is_key_path(parent)) {
        py::raise_arg_type("parent", "KeyPath or None", parent);
        return true;
    }
    return false;
}

[[nodiscard]] std::span<const Key> parent_keys(PyObject* parent) noexcept {
    if (!parent || parent == Py_None) return {};
    return keys_of(parent);
}

// Appends each element of a list, read one at a time under the list's lock.
// A list that shrinks meanwhile ends the reading early; elements appended
// meanwhile are not seen.
void append_list_items(KeyVec& keys, PyObject* list) {
    Py_ssize_t n;
    {
        py::CriticalSection guard(list);
        n = PyList_GET_SIZE(list);
    }
    keys.reserve(keys.size() + static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::Ref item = py::list_item(list, i);
        if (!item) break;
        keys.push_back(Key::from_py(item.get()));
    }
}

[[nodiscard]] py::Ref build_new(PyObject* key_or_key_list, PyObject* parent) {
    if (bad_parent(parent)) return {};
    KeyVec keys;
    const std::span<const Key> base = parent_keys(parent);
    keys.assign(base.begin(), base.end());
    PyObject* k = key_or_key_list;
    if (k && k != Py_None) {
        if (PyList_Check(k)) {
            append_list_items(keys, k);
        } else if (PyTuple_Check(k)) {
            const Py_ssize_t n = PyTuple_GET_SIZE(k);
            keys.reserve(keys.size() + static_cast<std::size_t>(n));
            for (Py_ssize_t i = 0; i < n; ++i) keys.push_back(Key::from_py(PyTuple_GET_ITEM(k, i)));
        } else {
            keys.push_back(Key::from_py(k));
        }
    }
    return make_key_path(std::move(keys));
}

[[nodiscard]] py::Ref build_child(PyObject* key, PyObject* parent) {
    // Sequences of keys and foreign parents take the class call's road.
    if (PyList_Check(key) || PyTuple_Check(key) ||
        (parent && parent != Py_None && !is_key_path(parent)))
        return build_new(key, parent);
    const std::span<const Key> base = parent_keys(parent);
    if (key == Py_None) return make_key_path(base);
    Key last = Key::from_py(key);
    KeyPathObject* self = alloc_path(base.size() + 1);
    if (!self) return {};
    copy_keys(self, 0, base);
    new (self->key_data() + base.size()) Key(std::move(last));
    return py::Ref::steal(reinterpret_cast<PyObject*>(self));
}

[[nodiscard]] py::Ref build_from_value(PyObject* value) {
    if (is_key_path(value)) return py::Ref::borrow(value);
    if (PyUnicode_Check(value)) {
        std::string_view text;
        if (!utf8_of(value, text)) return {};
        if (text.empty() || text.find_first_of(".[]") != std::string_view::npos) {
            KeyVec keys;
            if (!scan(text, value, keys)) return {};
            return make_key_path(std::move(keys));
        }
        const Key key = Key::str(text);
        return make_key_path(std::span<const Key>(&key, 1));
    }
    if (PyLong_Check(value)) {
        const Key key = Key::from_py(value);
        return make_key_path(std::span<const Key>(&key, 1));
    }
    PyErr_Format(PyExc_ValueError, "%R is not a valid KeyPath equivalence.", value);
    return {};
}

[[nodiscard]] py::Ref build_parsed(PyObject* path_str, PyObject* parent) {
    if (!PyUnicode_Check(path_str)) {
        PyErr_Format(PyExc_ValueError, "'path_str' must be a string type. Encountered: %R",
                     path_str);
        return {};
    }
    if (bad_parent(parent)) return {};
    std::string_view text;
    if (!utf8_of(path_str, text)) return {};
    const std::span<const Key> base = parent_keys(parent);
    KeyVec keys(base.begin(), base.end());
    if (!scan(text, path_str, keys)) return {};
    return make_key_path(std::move(keys));
}

}  // namespace

py::Ref make_key_path(std::span<const Key> keys) {
    KeyPathObject* self = alloc_path(keys.size());
    if (!self) return {};
    copy_keys(self, 0, keys);
    return py::Ref::steal(reinterpret_cast<PyObject*>(self));
}

py::Ref make_key_path(std::span<const Key> prefix, std::span<const Key> suffix) {
    KeyPathObject* self = alloc_path(prefix.size() + suffix.size());
    if (!self) return {};
    copy_keys(self, 0, prefix);
    copy_keys(self, prefix.size(), suffix);
    return py::Ref::steal(reinterpret_cast<PyObject*>(self));
}

py::Ref make_key_path(KeyVec&& keys) {
    KeyPathObject* self = alloc_path(keys.size());
    if (!self) return {};
    Key* dst = self->key_data();
    for (Key& k : keys) new (dst++) Key(std::move(k));
    return py::Ref::steal(reinterpret_cast<PyObject*>(self));
}

void destroy_key_path(KeyPathObject* self) noexcept {
    Key* keys = self->key_data();
    for (Py_ssize_t i = 0, n = Py_SIZE(self); i < n; ++i) keys[i].~Key();
    self->path_cache.~OnceSlot();
    self->key_objects.~OnceSlot();
}

py::Ref new_key_path(PyObject* key_or_key_list, PyObject* parent) {
    return build_new(key_or_key_list, parent);
}

py::Ref child_key_path(PyObject* key, PyObject* parent) {
    return build_child(key, parent);
}

PathsEq keypaths_eq(PyObject* a, PyObject* b) {
    if (!is_key_path(a) || !is_key_path(b)) return PathsEq::NotBoth;
    const std::span<const Key> x = keys_of(a);
    const std::span<const Key> y = keys_of(b);
    if (x.size() != y.size()) return PathsEq::NotEqual;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const int eq = py_eq(x[i], y[i]);
        if (eq < 0) return PathsEq::Error;
        if (eq == 0) return PathsEq::NotEqual;
    }
    return PathsEq::Equal;
}

int same_key_path(PyObject* a, PyObject* b) {
    switch (keypaths_eq(a, b)) {
        case PathsEq::Error: return -1;
        case PathsEq::Equal: return 1;
        case PathsEq::NotEqual: return 0;
        case PathsEq::NotBoth: break;
    }
    const int differs = PyObject_RichCompareBool(a, b, Py_NE);
    return differs < 0 ? -1 : !differs;
}

py::Ref cached_path(PyObject* path) {
    auto* self = reinterpret_cast<KeyPathObject*>(path);
    if (PyObject* text = self->path_cache.get()) return py::Ref::borrow(text);
    // Rendered without any lock; a racing thread renders the same text and
    // whichever publishes first is kept.
    return py::Ref::borrow(self->path_cache.publish(render_to_str(self->keys(), true)));
}

PyObject* key_objects(PyObject* path) {
    auto* self = reinterpret_cast<KeyPathObject*>(path);
    if (PyObject* tuple = self->key_objects.get()) return tuple;
    const std::span<const Key> keys = self->keys();
    py::Ref tuple = py::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(keys.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        py::Ref item = keys[i].to_py();
        if (!item) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return self->key_objects.publish(std::move(tuple));
}

py::Ref key_path_from_value(PyObject* value) {
    return build_from_value(value);
}

py::Ref parse_key_path(PyObject* path_str, PyObject* parent) {
    return build_parsed(path_str, parent);
}

}  // namespace vesk::topology
