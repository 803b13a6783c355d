// The words of the claim protocol (claim.hpp): the slot a write puts a node
// in or takes it from, the node's home, and the let-go calls a session owes.
#pragma once

#include "py/ref.hpp"
#include "symbolic/node_ops.hpp"

#include <cstdint>

namespace vesk::symbolic {

// Where a write puts or finds a node: a key of a node's storage, and what
// the node's members get as parent. Borrowed; the writer keeps them alive.
struct ClaimSlot {
    PyObject* node = nullptr;      // whose path names the slot
    PyObject* key = nullptr;       // the key as paths name it (a list's index)
    PyObject* parent = nullptr;    // the members' parent (may be None)
};

// Where a node is as the writes that took effect leave it: free, or stored
// in a slot with a parent. Its path is the slot's (a list's index as it was
// when it took effect: items an insertion moves keep their paths), or
// `path` where no slot is known (a node's own reading).
struct Home {
    enum class Kind : unsigned char { Unset, Free, At };
    Kind kind = Kind::Unset;
    py::Ref parent;  // At: its parent (null: none)
    py::Ref node;    // the node whose slot gives the path (null: `path`)
    py::Ref key;
    py::Ref path;  // without `node`: the path (null: Free keeps the one it has)
    bool empty_path = false;  // Free: the empty path (a dictionary's or object's let go)

    [[nodiscard]] bool free() const noexcept { return kind == Kind::Free; }
    [[nodiscard]] bool at() const noexcept { return kind == Kind::At; }
    // Whether the home is `slot` itself (a list's never is: its indices
    // move).
    [[nodiscard]] bool is(const ClaimSlot& slot) const noexcept;
    // A copy with new references (safe under a lock: nothing is dropped).
    [[nodiscard]] Home copy() const;
    // Forgets the references without dropping them (a forked child).
    void abandon() noexcept;
};

// Let-go calls that writes committed and nobody made yet: the last write
// out makes them, so each let-go committed is made once.
struct Owed {
    std::uint32_t full = 0;         // `topo_setparent(None)`, then the empty path
    std::uint32_t parent_only = 0;  // `topo_setparent(None)` (a list's item)

    [[nodiscard]] bool any() const noexcept { return full != 0 || parent_only != 0; }
};

}  // namespace vesk::symbolic
