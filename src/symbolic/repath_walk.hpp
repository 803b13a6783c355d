// Re-path walks: a node given a new path re-paths what it holds, each member
// what it holds in turn. The checked writes keep every tree acyclic, but the
// storage can be changed unchecked (the built-in `dict.update`,
// `dict.setdefault`, `list.__iadd__`): a container may then hold itself, or
// hold the very container a write places it in, and a walk through it would
// come back round forever, each round a longer path.
//
// So a walk never re-paths a node twice at once: a node met again while its
// own re-path is under way (or, for a write, the container the child goes
// into, which the walk would put below itself) refuses the walk with the
// cycle error of adoption, before it changes that node. The walk then stops,
// and every path it stored is given back as it was, node by node, without
// walking again (a walk back would follow the same storage and name the
// members where the storage puts them, not where they were). So a refused
// walk changes nothing, in time and memory bounded by the tree's size.
//
// A walk is begun by the write that re-paths (placing a child, letting one
// go, giving a failed write's child its place back): a walk a hook's write
// begins inside another is a walk of its own, which the outer one's nodes do
// not refuse. A node's re-path begun by no write (a direct `topo_setpath`)
// begins its own walk. Whatever runs inside a walk (a member's Python
// `topo_setpath` re-pathing its own members natively) is part of it.
//
// The bookkeeping lives on the stack of the calls it serves (each node's
// entry in its own re-path's frame, a walk's log in an inline buffer that
// grows onto the heap only for a walk of many nodes): a write pays a few
// loads and stores for it.
#pragma once

#include "py/ref.hpp"

#include <array>
#include <cstddef>
#include <memory>
#include <optional>

namespace vesk::symbolic {

struct NodeOps;
class RepathStep;

class RepathWalk {
public:
    // A walk of a write placing `child` at `path` in `container` (null: a
    // walk of its own, such as letting a child go).
    explicit RepathWalk(PyObject* container = nullptr, PyObject* child = nullptr,
                        PyObject* path = nullptr) noexcept;
    // A refused walk gives back every path it stored first (keeping the
    // pending exception).
    ~RepathWalk();
    RepathWalk(const RepathWalk&) = delete;
    RepathWalk& operator=(const RepathWalk&) = delete;

    // The calling thread's innermost walk, or null.
    [[nodiscard]] static RepathWalk* current() noexcept;
    // Whether the innermost walk is giving back what it stored: a native
    // node's re-path is then nothing (its own path is given back from the
    // log, and a Python member re-pathing its members reaches none the walk
    // did not log).
    [[nodiscard]] static bool giving_back() noexcept;
    // Whether the innermost walk met a node twice: the walk stops.
    [[nodiscard]] static bool refused() noexcept;
    // Raises the innermost walk's cycle error again, for a caller that stops
    // because it was refused where Python code in between took the error.
    static void raise_refusal() noexcept;

    // Notes the path a node of another kind (its own `topo_setpath` in
    // Python) has now, before the walk gives it a new one: a refused walk
    // gives it back by that call. Nothing outside a walk, or for a node
    // that tells no path. False with MemoryError: the walk is refused.
    [[nodiscard]] static bool note_other(PyObject* node) noexcept;

private:
    friend class RepathStep;

    struct Noted {
        py::Ref node;
        py::Ref path;                   // null: none
        const NodeOps* ops = nullptr;   // null: given back by its own call
    };
    // False with MemoryError: the walk cannot note one more node.
    [[nodiscard]] bool note(PyObject* node, py::Ref path, const NodeOps* ops) noexcept;
    void give_back() noexcept;
    // Raises the cycle error for `node`, met again as `path` is given to it.
    void refuse(PyObject* node, PyObject* path) noexcept;

    RepathWalk* outer_;
    PyObject* container_;
    PyObject* child_;
    PyObject* path_;
    RepathStep* top_ = nullptr;  // the innermost node whose re-path is under way
    py::Ref met_, met_path_;     // the node met again, and the path it was to get
    bool refused_ = false;
    bool giving_back_ = false;
    // The nodes whose paths the walk stored, in order, with what they had.
    std::size_t noted_ = 0;
    std::array<Noted, 8> inline_;
    std::unique_ptr<Noted[]> more_;
    std::size_t more_capacity_ = 0;
};

namespace detail {
[[gnu::tls_model("initial-exec")]] extern constinit thread_local RepathWalk* t_repath;
}  // namespace detail

inline RepathWalk::RepathWalk(PyObject* container, PyObject* child, PyObject* path) noexcept
    : outer_(detail::t_repath), container_(container), child_(child), path_(path) {
    detail::t_repath = this;
}

inline RepathWalk* RepathWalk::current() noexcept { return detail::t_repath; }

inline bool RepathWalk::giving_back() noexcept {
    const RepathWalk* w = detail::t_repath;
    return w && w->giving_back_;
}

inline bool RepathWalk::refused() noexcept {
    const RepathWalk* w = detail::t_repath;
    return w && w->refused_;
}

// One native node's re-path inside the calling thread's walk (a walk of its
// own when none is under way), from before its path is stored until its
// members are re-pathed.
class RepathStep {
public:
    RepathStep() noexcept = default;
    ~RepathStep();
    RepathStep(const RepathStep&) = delete;
    RepathStep& operator=(const RepathStep&) = delete;

    // Before `node` (of the kind `ops`) is given `path` in place of `old`
    // (null: none): 0 to go on, noted for a giving back; -1 with the cycle
    // error when the walk is re-pathing `node` already.
    [[nodiscard]] int enter(PyObject* node, const NodeOps& ops, py::Ref old, PyObject* path);

private:
    std::optional<RepathWalk> own_;
    RepathWalk* walk_ = nullptr;
    PyObject* node_ = nullptr;
    RepathStep* outer_ = nullptr;
};

// The cycle error of adoption: inserting `child` at `path` would make it its
// own ancestor. `format` names the child's type and the path, in that order.
inline constexpr const char kCycleFormat[] =
    "Inserting '%U' at path '%U' would create a cycle: the target container belongs to the "
    "inserted value's own symbolic tree.";
void raise_cycle(PyObject* child, PyObject* path, const char* format = kCycleFormat);

}  // namespace vesk::symbolic
