// The trie behind KeyPathSet: nested plain dicts, one per node. A child edge
// maps the Python form of a key to the child node; the end marker "$" -> True
// says that the path from the root to this node is a member.
//
// The root dict is handed to Python as it is, so any value may turn up where
// a node is expected, and a trie may be cyclic or arbitrarily deep. Every
// walk therefore checks that a node is a dict, and every recursion is
// guarded so that such a trie raises instead of overflowing the C stack.
//
// Threads may add to, remove from, merge into and prune one trie at once.
// A walk is not atomic, yet each path's own history stays one sequential
// order of the operations that touched it, under one rule for taking nodes
// out of the trie (detaching them) that every operation shares:
//
// - Detach only what was decided. A node leaves the trie only with what the
//   operation that detaches it decided to remove. An intersection drops a
//   branch the other set lacks, and a clear every branch, whole: every path
//   below is one they remove. When other operations that change the set
//   were in as it began, it also takes out, entry by entry, all that the
//   dropped branch holds (`Reach::Contended`): what it takes is what it
//   removed, so what is found in a dropped node later was stored after the
//   drop, or by an operation that began after the dropping one began and
//   may come after it in any case. (An operation that only reads may find
//   what the drop removed, as it would have before the drop, which it may
//   come before.) A node that a removal or a pruning walk left empty goes
//   only if it is still empty and still the node its parent holds, tested
//   in the step that deletes it (`detach_empty`). A detached node is never
//   attached again.
// - Check after storing. An operation that stores into a node (an add's
//   marker; a merge's marker or copied branch) then checks that every node
//   of its path is still attached. If one is not, what it stored may lie in
//   a detached node: it takes that back out and stores it again, and
//   answers as though it came after the detach. What it can no longer take
//   back was taken by an operation that removed it (a removal, which
//   answered for it, or the drop of its branch), or was moved into the live
//   trie.
// - Found is found. An operation that finds a path stored (an add or a
//   merge that finds its marker) answers there and then, even in a node
//   detached since: the path was a member until the detach, or was stored
//   after it by an operation that stores it again.
// - Gone is gone. Deleting a key that another operation deleted first is
//   no error, and deletes nothing else.
// - A node is no other set to itself. A walk whose other node is the node
//   it changes (a set merged with or intersected by itself, or by a set
//   sharing the node) would read an entry at one moment and store or drop
//   by it at another, bringing back what a removal took in between, or
//   dropping what an add stored after. A merge takes nothing from such a
//   node; an intersection drops nothing from it, leaving a key gone since
//   it read the node, and a branch replaced since, to what removed them.
// - An other set inside the trie, or around it, is read first. Where the
//   other trie holds nodes of the changed one at another depth (a view of
//   the set by `subtree`, or the set a view of it), a walk would change
//   nodes it has yet to read, or is reading: reading back its own stores,
//   it would add or drop paths the other set never held, or fail half
//   done. Such an other trie is read whole before the walk (`read_whole`),
//   so each of its paths is read at one moment of the operation, and the
//   walk changes none of what it reads.
//
// Since a detached node is never attached again, a path whose links all
// hold when checked held them since they were walked: whatever was stored at
// its end in between was stored into the live trie.
//
// A node's test and its delete are one step under the locks of the node and
// its parent, whatever the key: its lookup (the key's hash and comparisons,
// which may run Python code and let other threads in) comes first, and the
// step tests the node the lookup found. So no node ever leaves the trie and
// comes back, and no read, locked or not, can find one missing for an
// instant.
//
// Every walk over a node's entries reads them in one locked step first
// (py::DictSnapshot), so an entry is met once however other threads change
// the node meanwhile; a node whose size changed fails the walk's next step.
//
// What a walk builds from a trie others change (a copy; the branches a
// merge copies in) holds only nodes with a member below them. A walk that
// reads a node another thread's removal emptied (before or after detaching
// it), or one an add made and has yet to fill, would otherwise keep an
// empty node where no removal will ever prune it. Left out, the copy is as
// though it came after the removal, or before the add.
//
// A trie no other thread can reach (a set being built, the copy a copying
// operation works on) needs none of this: `Reach::Private` skips it.
#pragma once

#include "py/ref.hpp"

#include <cstddef>
#include <vector>

namespace vesk::topology::trie {

// The Python forms of the keys of one path, root first.
using PyKeys = std::vector<py::Ref>;

// Who else may change a trie while an operation works on it: nobody; other
// operations on the set, none of them in when this one began; or some that
// were.
enum class Reach : unsigned char { Private, Shared, Contended };

// The interned end marker "$" (borrowed, alive for the process): true with
// `out` set, or false with an exception set only if it could not be made.
[[nodiscard]] bool marker(PyObject*& out);
// 1 when `key` equals the marker by Python equality, 0 when not, -1 on error.
[[nodiscard]] int is_marker(PyObject* key);

// A new empty node.
[[nodiscard]] py::Ref new_node();

// Inserts a path. With `include_intermediate`, every node that gets a new
// child also becomes a member. 1 when newly added, 0 when already a member.
// An insertion whose marker went into a detached node takes it back and is
// made again (RuntimeError after many such rounds).
[[nodiscard]] int add(PyObject* root, const PyKeys& keys, bool include_intermediate,
                      Reach reach);
// Removes a path and prunes the nodes it leaves empty (never the root).
// 1 when it was a member, 0 when not.
[[nodiscard]] int remove(PyObject* root, const PyKeys& keys);

// Adds every path of `source` into `target`; shares no node with `source`,
// and stores no node without a member below it.
[[nodiscard]] int merge(PyObject* target, PyObject* source, Reach reach);
// Set difference: removes from `target` every path of `other`.
[[nodiscard]] int remove_same(PyObject* target, PyObject* other, Reach reach);
// Set intersection: removes from `target` every path that `other` lacks.
[[nodiscard]] int remove_diff(PyObject* target, PyObject* other, Reach reach);
// Empties the root: every branch dropped whole.
[[nodiscard]] int clear(PyObject* root, Reach reach);
// What `node` holds now, in new nodes that no other thread reaches, for a
// walk to read: the keys themselves, every node kept, empty ones too, and a
// node met twice read once (a trie whose branches share a node stays that
// size).
[[nodiscard]] py::Ref read_whole(PyObject* node);
// A copy of `node` with new nodes at every level, but for nodes with no
// member below them, which are left out; keys that are neither str nor int
// are deep-copied.
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
