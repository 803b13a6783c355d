// The trie behind KeyPathSet: nested plain dicts, one per node. A child edge
// maps the Python form of a key to the child node; the end marker "$" -> True
// says that the path from the root to this node is a member.
//
// The root dict is handed to Python as it is, so any value may turn up where
// a node is expected, and a trie may be cyclic or arbitrarily deep. Every
// walk therefore checks that a node is a dict, and every recursion is
// guarded so that such a trie raises instead of overflowing the C stack.
//
// Threads may add to, remove from and merge into one trie at once. A node is
// detached only by pruning, only while empty and never put back; an
// insertion checks afterwards that every node of its path is still attached
// and is made again if its marker went into a node already detached, so a
// member reported as added is reachable, and a removal that took the new
// marker out stays done.
#pragma once

#include "py/ref.hpp"

#include <cstddef>
#include <vector>

namespace vesk::topology::trie {

// The Python forms of the keys of one path, root first.
using PyKeys = std::vector<py::Ref>;

// The interned end marker "$" (borrowed, alive for the process): true with
// `out` set, or false with an exception set only if it could not be made.
[[nodiscard]] bool marker(PyObject*& out);
// 1 when `key` equals the marker by Python equality, 0 when not, -1 on error.
[[nodiscard]] int is_marker(PyObject* key);

// A new empty node.
[[nodiscard]] py::Ref new_node();

// Inserts a path. With `include_intermediate`, every node that gets a new
// child also becomes a member. 1 when newly added, 0 when already a member.
// Safe against concurrent adds and removes on the same trie: when a removal
// prunes a node of the path before the new marker is reachable, the
// insertion is made again (RuntimeError after many such rounds); when a
// removal takes the marker out after it was reachable, the path stays
// removed.
[[nodiscard]] int add(PyObject* root, const PyKeys& keys, bool include_intermediate);
// Removes a path and prunes the nodes it leaves empty (never the root).
// 1 when it was a member, 0 when not.
[[nodiscard]] int remove(PyObject* root, const PyKeys& keys);
// Detaches `child` from `parent` if it is still empty and still the node
// `parent` holds under `key`, checked and deleted under both dicts' locks.
// 1 when detached, 0 when kept, -1 on error.
[[nodiscard]] int prune_child(PyObject* parent, PyObject* key, PyObject* child);

// Adds every path of `source` into `target`; shares no node with `source`.
// Like `add`, a branch whose node a concurrent removal pruned while it was
// being filled is merged again.
[[nodiscard]] int merge(PyObject* target, PyObject* source);
// Set difference: removes from `target` every path of `other`.
[[nodiscard]] int remove_same(PyObject* target, PyObject* other);
// Set intersection: removes from `target` every path that `other` lacks.
[[nodiscard]] int remove_diff(PyObject* target, PyObject* other);
// A copy of `node` with new nodes at every level; keys that are neither str
// nor int are deep-copied.
[[nodiscard]] py::Ref deep_copy(PyObject* node);
// `root` wrapped in one new node per key, the last key innermost; no marker
// is added. An empty prefix gives `root` itself.
[[nodiscard]] py::Ref wrap(py::Ref root, const PyKeys& prefix);

// Raises the TypeError for a value found where a node was expected.
void raise_not_a_node(PyObject* value);

// Guards one recursive walk: each level is a recursion of the interpreter
// (RecursionError when the C stack runs low) and a node that turns up again
// on its own path is a ValueError. Cycles are found in constant time per
// level: the node at each power-of-two depth of the current path is kept, and
// every deeper node is compared with the latest of them, so a cycle of length
// L that starts at depth m is caught before depth 2 * max(m, L + 1). Every
// few thousand nodes entered, pending signals are handled, so a long walk
// can be interrupted.
class WalkGuard {
public:
    // Enters `node` one level deeper; false with an exception set.
    [[nodiscard]] bool enter(PyObject* node);
    void leave() noexcept;

private:
    static constexpr size_t kSignalCheckEvery = 4096;  // a power of two
    size_t depth_ = 0;
    size_t visited_ = 0;
    PyObject* anchors_[64] = {};
};

// One level of a guarded walk, left on scope exit.
class WalkLevel {
public:
    WalkLevel(WalkGuard& guard, PyObject* node) : guard_(guard), ok_(guard.enter(node)) {}
    ~WalkLevel() {
        if (ok_) guard_.leave();
    }
    WalkLevel(const WalkLevel&) = delete;
    WalkLevel& operator=(const WalkLevel&) = delete;
    [[nodiscard]] bool ok() const noexcept { return ok_; }

private:
    WalkGuard& guard_;
    bool ok_;
};

}  // namespace vesk::topology::trie
