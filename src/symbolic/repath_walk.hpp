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
// cycle error of adoption, before that node changes. The walk then stops
// and gives back, as it unwinds, what it changed: each node whose re-path
// was under way its own old path, stored as it was; the members each of them
// had re-pathed already, a re-path under its old path (they sit where its
// storage puts them, as every checked write leaves them); and a member of
// another kind met on the way (a Python node re-pathing its own members)
// the path it told before. Members the walk never reached, and the node met
// again, are not touched. So a refused walk changes nothing, in time and
// memory bounded by the tree's size.
//
// A walk is begun by the write that re-paths (placing a child, letting one
// go, giving a failed write's child its place back): a walk a hook's write
// begins inside another is a walk of its own, which the outer one's nodes do
// not refuse. A node's re-path begun by no write (a direct `topo_setpath`)
// begins its own walk. Whatever runs inside a walk (a member's Python
// `topo_setpath` re-pathing its own members natively) is part of it.
//
// The bookkeeping lives in the frames of the calls it serves (each node's
// entry in its own re-path, holding the old path that call had read), so a
// walk that is not refused costs a few loads and stores per node and
// allocates nothing.
#pragma once

#include "py/ref.hpp"

#include <cstddef>
#include <new>

namespace vesk::symbolic {

class RepathStep;

class RepathWalk {
public:
    // A walk of a write placing `child` at `path` in `container` (null: a
    // walk of its own, such as letting a child go).
    explicit RepathWalk(PyObject* container = nullptr, PyObject* child = nullptr,
                        PyObject* path = nullptr) noexcept;
    ~RepathWalk();
    RepathWalk(const RepathWalk&) = delete;
    RepathWalk& operator=(const RepathWalk&) = delete;

    // Whether the innermost walk met a node twice and is unwinding: a walk
    // over members stops, and gives back what it changed.
    [[nodiscard]] static bool refused() noexcept;
    // Raises the innermost walk's cycle error again, for a caller that stops
    // because it was refused where Python code in between took the error.
    static void raise_refusal() noexcept;
    // The path `node` had before the innermost walk's re-path of it began
    // (null: none); false when the walk is not re-pathing it.
    [[nodiscard]] static bool old_path(PyObject* node, PyObject*& out) noexcept;

    // While it lives, the innermost walk gives back what it changed: its
    // re-paths go on as usual, but one that meets a node under way leaves
    // that node, whose own step gives it back, as it is. Keeps the pending
    // exception and drops the failures of what runs meanwhile.
    class GivingBack {
    public:
        GivingBack() noexcept;
        ~GivingBack();
        GivingBack(const GivingBack&) = delete;
        GivingBack& operator=(const GivingBack&) = delete;

    private:
        RepathWalk* walk_;
        PyObject* pending_;
        bool was_;
    };

private:
    friend class RepathStep;

    // Raises the cycle error for `node`, met again as `path` is given to it.
    void refuse(PyObject* node, PyObject* path) noexcept;
    // Whether `node` is under way in this walk: the container it places a
    // child in, or a node whose re-path has begun and not ended.
    [[nodiscard]] bool under_way(PyObject* node) const noexcept;

    RepathWalk* outer_;
    PyObject* container_;
    PyObject* child_;
    PyObject* path_;
    RepathStep* top_ = nullptr;  // the innermost node whose re-path is under way
    py::Ref met_, met_path_;     // the node met again, and the path it was to get
    bool refused_ = false;
    bool giving_back_ = false;
};

namespace detail {
[[gnu::tls_model("initial-exec")]] extern constinit thread_local RepathWalk* t_repath;
}  // namespace detail

inline RepathWalk::RepathWalk(PyObject* container, PyObject* child, PyObject* path) noexcept
    : outer_(detail::t_repath), container_(container), child_(child), path_(path) {
    detail::t_repath = this;
}

inline RepathWalk::~RepathWalk() { detail::t_repath = outer_; }


inline bool RepathWalk::refused() noexcept {
    const RepathWalk* w = detail::t_repath;
    return w && w->refused_ && !w->giving_back_;
}

// One native node's re-path inside the calling thread's walk (a walk of its
// own when none is under way), from before its path is stored until its
// members are re-pathed. Ended in a refused walk, it stores the node's old
// path back.
class RepathStep {
public:
    RepathStep() noexcept {}
    ~RepathStep();
    RepathStep(const RepathStep&) = delete;
    RepathStep& operator=(const RepathStep&) = delete;

    // Before `node`, a native node, is given `path` in place of `old`
    // (null: none; the caller keeps it alive to the step's end): 1 to go on;
    // 0 when the walk is giving back and the node is under way already
    // (nothing to do: its own step gives it back); -1 with the cycle error
    // when the walk is re-pathing `node` already.
    [[nodiscard]] int enter(PyObject* node, PyObject* old, PyObject* path);

private:
    friend class RepathWalk;

    // What `enter` does outside a walk going forward unrefused.
    [[nodiscard]] int enter_other(PyObject* node, PyObject* path);
    // The node's old path stored back, the walk refused.
    void give_back() noexcept;

    // Set by `enter`; the rest only read once it has run.
    RepathWalk* walk_ = nullptr;
    PyObject* node_;  // null: not linked (nothing to do, or refused)
    PyObject* old_;
    RepathStep* outer_;
    bool forward_;  // entered walking forward: gives back when refused
    // The walk of its own, made only when needed (`walk_` is then it).
    alignas(RepathWalk) std::byte own_[sizeof(RepathWalk)];
    [[nodiscard]] bool owns() const noexcept {
        return walk_ == reinterpret_cast<const RepathWalk*>(own_);
    }
};

// The step links itself into its walk until its destructor unlinks it, as
// the thread's scopes do (claim.hpp): the compiler cannot see that pairing
// through the walk's pointer.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
inline int RepathStep::enter(PyObject* node, PyObject* old, PyObject* path) {
    walk_ = detail::t_repath;
    node_ = node;
    old_ = old;
    if (!walk_ || walk_->giving_back_ || walk_->refused_ || walk_->under_way(node))
        return enter_other(node, path);
    forward_ = true;
    outer_ = walk_->top_;
    walk_->top_ = this;
    return 1;
}
#pragma GCC diagnostic pop

inline RepathStep::~RepathStep() {
    if (!walk_) return;
    if (node_) {
        walk_->top_ = outer_;
        if (forward_ && walk_->refused_) give_back();
    }
    if (owns()) walk_->~RepathWalk();
}

inline bool RepathWalk::under_way(PyObject* node) const noexcept {
    if (node == container_) return true;
    for (const RepathStep* s = top_; s; s = s->outer_)
        if (s->node_ == node) return true;
    return false;
}

// A node of another kind re-paths itself in Python, where no step sees it:
// the walk that calls it reads the path it tells first (`told_path`: false
// when it tells none), and gives that back by the node's own call should the
// walk be refused (`give_told_path_back`). Both keep the pending exception.
[[nodiscard]] bool told_path(PyObject* node, py::Ref& out) noexcept;
void give_told_path_back(PyObject* node, PyObject* told) noexcept;

// The cycle error of adoption: inserting `child` at `path` would make it its
// own ancestor. `format` names the child's type and the path, in that order.
inline constexpr const char kCycleFormat[] =
    "Inserting '%U' at path '%U' would create a cycle: the target container belongs to the "
    "inserted value's own symbolic tree.";
void raise_cycle(PyObject* child, PyObject* path, const char* format = kCycleFormat);

}  // namespace vesk::symbolic
