// SymNode: the node state every symbolic value carries (containers and
// objects embed it by value): its parent, its key path from the root, its
// origin record, and three flags.
//
// The node has no lock of its own: it is read under a shared hold and written
// under an exclusive hold of the instance that embeds it. A reference the
// node gives up may be the last one, and releasing it may run a finaliser
// (Python code) that reaches this very instance, so the operations below hand
// the released references back to the caller, who drops them after the hold
// ends.
#pragma once

#include "py/held_slot.hpp"
#include "py/ref.hpp"

#include <array>
#include <utility>
#include <vector>

namespace vesk::symbolic {

// References a node gave up, released when this goes out of scope. Declare it
// before the hold whose writes fill it, so it outlives the hold.
using Released = std::array<py::Ref, 3>;

// The key paths of a node's members under the node's path, kept so that a
// write names its change by a path it need not build again: a key path is
// an immutable value, so one serves every update at its place. A record
// answers only for the very path object it was made under, so a node that
// moves (its path replaced) finds nothing and keeps anew.
struct ChildPaths : py::HeldRecord<ChildPaths> {
    static constexpr std::size_t kMost = 8;
    py::Ref parent;  // the node's path they lie under (null: none)
    std::vector<std::pair<py::Ref, py::Ref>> entries;  // (key, key path), keys by identity

    template <class V>
    void visit(V&& v) {
        v(parent);
        for (auto& [key, path] : entries) {
            v(key);
            v(path);
        }
    }
};

struct SymNode {
    py::Ref parent;  // null: no parent
    py::Ref path;    // normally a KeyPath; not checked here
    py::Ref origin;  // normally made by the container bridge's `origin_cls`
    bool sealed = false;
    bool allow_partial = false;
    bool accessor_writable = true;
    // Published without the exclusive hold (py/held_slot.hpp): keeping a
    // path never refuses another thread's write.
    py::HeldSlot<ChildPaths> child_paths;

    // The key path of `key` under `parent` as the node keeps it (new
    // reference), or null; read under the instance's shared hold.
    [[nodiscard]] py::Ref kept_child_path(PyObject* parent_path, PyObject* key) const noexcept {
        const ChildPaths* kept = child_paths.get();
        if (!kept || kept->parent.get() != parent_path || !parent_path) return {};
        for (const auto& [k, p] : kept->entries)
            if (k.get() == key) return p;
        return {};
    }

    // Releases parent, path and origin, in that order, into `out`.
    void clear_refs(Released& out) noexcept {
        out[0] = std::move(parent);
        out[1] = std::move(path);
        out[2] = std::move(origin);
    }

    // The state a constructor starts from: no parent, the given path (null
    // for none) and flags; the origin is kept.
    void reset_for_construction(py::Ref new_path, bool allow_partial_, bool accessor_writable_,
                                bool sealed_, Released& out) noexcept {
        out[0] = std::move(parent);
        out[1] = std::exchange(path, std::move(new_path));
        allow_partial = allow_partial_;
        accessor_writable = accessor_writable_;
        sealed = sealed_;
    }

    // Stores `value` (None clears) into one of the three references, handing
    // the replaced one to `out`.
    static void store(py::Ref& member, PyObject* value, py::Ref& out) noexcept {
        out = std::exchange(member, value == Py_None ? py::Ref() : py::Ref::borrow(value));
    }

    template <class V>
    void visit(V&& v) {
        v(parent);
        v(path);
        v(origin);
        child_paths.visit(v);
    }
};

// A reference read for Python: None when absent.
[[nodiscard]] inline PyObject* or_none(PyObject* p) noexcept { return p ? p : Py_None; }
[[nodiscard]] inline PyObject* or_none(const py::Ref& r) noexcept { return or_none(r.get()); }
// An argument for a node reference: None stands for none.
[[nodiscard]] inline PyObject* none_as_absent(PyObject* value) noexcept {
    return value == Py_None ? nullptr : value;
}

}  // namespace vesk::symbolic
