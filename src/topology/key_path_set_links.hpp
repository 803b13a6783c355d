// The steps by which KeyPathSet operations that change a shared trie keep
// the rule stated in key_path_set_trie.hpp: checking, after storing, that
// the path stored along is still attached, and moving what was stored back
// into the live trie when it is not; detaching a node left empty; emptying
// a branch dropped whole.
#pragma once

#include "py/critical_section.hpp"
#include "topology/key_path_set_trie.hpp"

#include <utility>
#include <vector>

namespace vesk::topology::trie {

[[nodiscard]] inline PyObject* object_of(PyObject* p) noexcept { return p; }
[[nodiscard]] inline PyObject* object_of(const py::Ref& r) noexcept { return r.get(); }

// Whether a path a walk went down is still attached: 1 when node i + 1 is
// still what node i holds under key i, for every i < `depth`; 0 when one
// was detached; -1 on error.
template <class Node, class Key>
[[nodiscard]] int attached(const Node* nodes, const Key* keys, std::size_t depth) {
    for (std::size_t i = 0; i < depth; ++i) {
        PyObject* raw = nullptr;
        const int found = PyDict_GetItemRef(object_of(nodes[i]), object_of(keys[i]), &raw);
        py::Ref held = py::Ref::steal(raw);
        if (found < 0) return -1;
        if (held.get() != object_of(nodes[i + 1])) return 0;
    }
    return 1;
}

// The nodes of one walk down from the root, and the keys between them: node
// i + 1 is what node i held under key i when the walk passed. Borrowed:
// every node and key is held by the walk that pushed it until it pops it.
class Chain {
public:
    explicit Chain(PyObject* root) { nodes_.push_back(root); }

    void push(PyObject* key, PyObject* node) {
        keys_.push_back(key);
        nodes_.push_back(node);
    }
    void pop() noexcept {
        keys_.pop_back();
        nodes_.pop_back();
    }
    [[nodiscard]] PyObject* root() const noexcept { return nodes_.front(); }
    [[nodiscard]] PyObject* last() const noexcept { return nodes_.back(); }
    [[nodiscard]] int attached() const {
        return trie::attached(nodes_.data(), keys_.data(), keys_.size());
    }
    // The keys, owned.
    [[nodiscard]] PyKeys keys() const;

private:
    std::vector<PyObject*> nodes_;
    std::vector<PyObject*> keys_;
};

// `detach_empty` under a key that is not a str or an int, whose lookups
// run Python code.
[[nodiscard]] int detach_slowly(PyObject* parent, PyObject* key, PyObject* child, py::Ref& stray);

// A node a delete under a str or int key took though it should stay: a
// comparison with another key of the same hash in `parent` ran Python code
// meanwhile, and the node was filled or another stored there. It goes back
// at once where the key is still free, else to `stray`. 0, or -1 on error.
[[nodiscard]] int keep_taken(PyObject* parent, PyObject* key, py::Ref taken, py::Ref& stray);

// Detaches `child`, which the caller's walk left empty, from `parent` under
// `key`, if it is still empty and still the node `parent` holds there,
// tested in the step that deletes it. 1 when detached; 0 when kept, or gone
// already (no error); -1 on error. A node the delete took that was stored
// there after the walk passed goes to `stray`, for the caller to put back.
[[nodiscard]] inline int detach_empty(PyObject* parent, PyObject* key, PyObject* child,
                                      py::Ref& stray) {
    if (!PyUnicode_CheckExact(key) && !PyLong_CheckExact(key))
        return detach_slowly(parent, key, child, stray);
    // Both locks at once: an insertion into `child` takes its lock, so it
    // lands either first (the node is kept) or in a node already detached,
    // which it then finds out. The key's own hash runs no Python code, but
    // `parent` may hold a key of the same hash whose comparison does, which
    // lets other threads in: the node is tested again once the delete took
    // it, with no Python code between.
    py::CriticalSection2 guard(parent, child);
    if (PyDict_GET_SIZE(child) != 0) return 0;
    PyObject* raw = nullptr;
    const int found = PyDict_GetItemRef(parent, key, &raw);
    py::Ref held = py::Ref::steal(raw);
    if (found <= 0 || held.get() != child) return found < 0 ? -1 : 0;
    raw = nullptr;
    const int popped = PyDict_Pop(parent, key, &raw);
    py::Ref taken = py::Ref::steal(raw);
    if (popped <= 0) return popped;
    if (taken.get() == child && PyDict_GET_SIZE(child) == 0) return 1;
    return keep_taken(parent, key, std::move(taken), stray);
}

// `node`, taken by a delete from `parent` under `key` though stored there
// after the deleting walk passed: what it holds moved, entry by entry, into
// the node `parent` holds there now (a new one if none), each entry taken
// out of `node` first so that it moves once. 0, or -1 on error.
[[nodiscard]] int put_back(PyObject* parent, PyObject* key, PyObject* node, WalkGuard& guard);

// Takes out, entry by entry, everything `node`, a branch dropped whole,
// holds, and what the nodes below hold: each entry goes to the one thread
// that takes it, this one or a writer taking back its own.
[[nodiscard]] int empty_dropped(PyObject* node, WalkGuard& guard);

// Moves what `node`, detached, holds into the live trie at `keys` (its path
// from `root`): each entry is taken out of `node` before it is stored, so it
// moves once whichever thread moves it, and each path is stored as an add
// stores it. An entry already taken stays where it went.
[[nodiscard]] int restore_paths(PyObject* root, PyKeys& keys, PyObject* node, WalkGuard& guard);

}  // namespace vesk::topology::trie
