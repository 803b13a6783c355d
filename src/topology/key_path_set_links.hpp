// The steps by which KeyPathSet operations that change a shared trie keep
// the rule stated in key_path_set_trie.hpp: checking, after storing, that
// the path stored along is still attached, and moving what was stored back
// into the live trie when it is not; detaching a node left empty; emptying
// a branch dropped whole.
#pragma once

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

// Detaches `child`, which the caller's walk left empty, from `parent` under
// `key`, if it is still empty and still the node `parent` holds there. 1
// when detached; 0 when kept, or gone already (no error); -1 on error.
[[nodiscard]] int detach_empty(PyObject* parent, PyObject* key, PyObject* child);

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
