// Child adoption: when a value is stored under a key of a symbolic container
// or a field of a symbolic object, its owner adopts it. Adoption decides, by
// the assign policy and by where the value already sits, whether the value
// is taken unchanged, cloned, shared or refused; keeps the tree free of
// cycles, also against the child's own hooks, which run while it is placed,
// and against storage changed unchecked, which the child's re-path would
// walk round (repath_walk.hpp);
// and stamps path and then parent on the child, named under its container's
// path as those hooks leave it. (A child a write replaces is let go by the
// write itself, write_core.hpp.)
//
// Every call a child gets (`sym_clone`, `topo_setpath`, `topo_setparent`, its
// `_topo_parent`, `_topo_path` and `enable_topo`) goes through Python
// attribute lookup, so native containers, objects and pure-Python symbolic
// classes are treated alike. Nothing here holds a lock or a hold while
// Python code runs.
//
// Adoption first claims the child (claim.hpp) in the calling thread's
// innermost claim scope, before it reads anything of it, so the child's
// place cannot change under its decision; the write that adopts keeps the
// claim until it is done. A child another thread claims makes the adoption
// fail at once with the borrow refusal, having done nothing to it.
#pragma once

#include "py/ref.hpp"
#include "symbolic/claim.hpp"
#include "symbolic/claimed.hpp"
#include "symbolic/placement.hpp"

#include <cstddef>
#include <optional>
#include <vector>

namespace vesk::symbolic {

struct AdoptArgs {
    PyObject* key = nullptr;        // the key or index the child is stored under
    bool adopting = true;           // the owner keeps a tree (its enable_topo)
    PyObject* owner_path = nullptr; // the owner's key path; null or None for a root
    PyObject* container = nullptr;  // what holds the child; the cycle walk starts here
    PyObject* parent_to_set = nullptr;  // the parent the child gets (may be None)
    ClaimedSet* claimed = nullptr;  // the operation's claimed set, or null
    bool parent_set_by_caller = false;  // only the path is stamped here
    PyObject* policy = nullptr;     // the assign policy text, or null
    // The child was read from another container (a copy's source): one held
    // elsewhere is cloned, never refused or shared.
    bool clone_if_claimed = false;
    // The child goes in before a list's position, never onto it: a child
    // the list holds is never in place for it.
    bool inserting = false;
};

// What a write keeps of one adoption until it has stored the value: the
// value, and what its stamping changed on the child, to give back should
// the write fail before its store.
class Adoption {
public:
    py::Ref value;  // what to store: the child or its clone

    Adoption() noexcept = default;
    Adoption(Adoption&&) noexcept = default;
    Adoption& operator=(Adoption&&) noexcept = default;

    // The write failed: the child gets back the parent and path it had,
    // unless a hook has placed it elsewhere since (it names a parent other
    // than the one it was given), which stands. Keeps the pending exception.
    // False when the child refused to let go of its parent: it keeps the
    // place its hook left it.
    bool undo() noexcept;
    // The value is stored: nothing is left for the write to undo. An
    // operation that keeps a log for the container (AdoptionLog) takes the
    // undoing over, should it fail after this store.
    void stored() noexcept;
    // Whether the adoption stamped a path on the value (placed, stamped
    // again, or a clone).
    [[nodiscard]] bool path_stamped() const noexcept { return path_set_; }

private:
    friend struct Adopter;
    friend class AdoptionLog;
    friend bool adopt_child(PyObject*, const AdoptArgs&, Adoption&);

    py::Ref stamped_;  // the child stamped here, whose prior state `prior_` is
    Placement prior_;
    PyObject* container_ = nullptr;  // borrowed: what the child was placed in
    PyObject* given_ = nullptr;      // borrowed: the parent it was given (may be None)
    bool path_set_ = false;
    bool parent_set_ = false;  // here, or by the caller (AdoptArgs::parent_set_by_caller)
    bool freed_ = false;  // a value of another kind: undo gives it what it told (`prior_`)
};

// The adoptions one operation stored, kept until it stands, so that an
// operation failing after some of its stores gives each child back the
// place it had: a construction whose later member or hook fails, a list's
// batch write, and the members that a value made for a write (a raw
// container wrapped, with its own members adopted) holds, should the write
// drop that value. A log lives on its operation's stack and is its thread's
// innermost while it lives.
//
// What a log takes: each adoption stored in its container while it is the
// innermost log for that container (Adoption::stored), unless it is a
// single write's log, whose own store settles its own adoption (a write
// that is part of a construction of the same container hands it to the
// construction's log); and what a log inside it hands on as it is kept. A
// construction hands on only to the operation it was made for (MadeFor: a
// raw container the operation wraps, a member its apply wraps); one that a
// hook of the operation makes for its own ends stand on their own, since
// the hook may keep what it made. A log that ends unkept gives back what it
// took, latest first, keeping the pending exception.
//
// The children a log takes stay claimed to its end (claim.hpp), so that no
// other write meets them before the operation stands or gives them back:
// in the claim scope of the write the operation is part of, else in one
// the log opens for them with its first adoption (an operation that places
// no child claims nothing).
class AdoptionLog {
public:
    // Where a kept log's adoptions go.
    enum class Kept : unsigned char {
        Up,    // to the enclosing log (a construction: the value it made is
               // part of the operation around it)
        Same,  // to the enclosing log of the same container, if any (a batch
               // write, which hands on itself: to the making of the list
               // alone, `making`, such as a sum's copy)
        Drop,  // nowhere: a single write, which stands once stored (within
               // a construction of the same container, to its log)
        Pass,  // to the enclosing log of the same container that takes
               // writes' adoptions (a construction, another pass), if any:
               // an apply of a spec to the container (container/pass_log.hpp),
               // which takes the adoptions of the writes it makes, as a
               // construction does
    };

    explicit AdoptionLog(PyObject* container, Kept kept = Kept::Up) noexcept
        : container_(container),
          outer_(innermost),
          made_for_(made_for && made_for == innermost ? made_for : nullptr),
          kept_as_(kept) {
        innermost = this;
    }
    ~AdoptionLog() {
        if (!settled_ && !taken_.empty()) undo();
        innermost = outer_;
    }
    AdoptionLog(const AdoptionLog&) = delete;
    AdoptionLog& operator=(const AdoptionLog&) = delete;

    // The operation stands: what was taken is handed on as `Kept` says.
    void keep() noexcept {
        settled_ = true;
        if (!taken_.empty()) hand_on();
    }
    // The operation stands as part of the one `to` logs (an apply of a
    // member inside an apply of what holds it): what was taken goes there.
    void keep_into(AdoptionLog& to) noexcept {
        settled_ = true;
        for (Adoption& a : taken_) to.take(std::move(a));
        taken_.clear();
    }
    // The operation stands for good: what was taken stays as it is, handed
    // to no log (a write that no operation around it takes back).
    void settle() noexcept {
        settled_ = true;
        taken_.clear();
    }
    // The log of the making of its container (a construction, a product or
    // a sum: Kept::Up) that this one runs inside, or null: one whose failure
    // drops the container whole, and with it what any write into it placed.
    [[nodiscard]] AdoptionLog* making() const noexcept {
        for (AdoptionLog* log = outer_; log; log = log->outer_)
            if (log->container_ == container_ && log->kept_as_ == Kept::Up) return log;
        return nullptr;
    }
    // Gives every child taken back its place, latest first. Keeps the
    // pending exception.
    void undo() noexcept;
    // How many adoptions the log has taken so far, and the giving back of
    // those taken since `mark` alone, latest first (an operation that takes
    // back its own stores in turn: a child one store let go and a later one
    // placed again gets its place back before the earlier store's undoing
    // attaches it again). Keeps the pending exception.
    [[nodiscard]] std::size_t size() const noexcept { return taken_.size(); }
    void undo_since(std::size_t mark) noexcept;
    // The adoptions taken from `begin` to `end` stand (a store the operation
    // could not take back, and what was made for it): handed on now as
    // `keep` hands on (`settle`: to no log, for good), and never given back
    // by this log.
    void keep(std::size_t begin, std::size_t end, bool settle = false) noexcept;

    // Before an adoption into `container`: when a log will take it and the
    // thread has no claim scope open, the log opens the one the adoption
    // claims in.
    static void claims_for(PyObject* container) noexcept;

    // While it lives, a construction begun by the calling thread is made for
    // the operation whose log is innermost now: kept, it hands its
    // adoptions on to that log.
    class MadeFor {
    public:
        MadeFor() noexcept : saved_(made_for) { made_for = innermost; }
        ~MadeFor() { made_for = saved_; }
        MadeFor(const MadeFor&) = delete;
        MadeFor& operator=(const MadeFor&) = delete;

    private:
        AdoptionLog* saved_;
    };

private:
    friend class Adoption;

    // The calling thread's innermost log, and the log constructions are made
    // for now (MadeFor).
    [[gnu::tls_model("initial-exec")]] static thread_local AdoptionLog* innermost;
    [[gnu::tls_model("initial-exec")]] static thread_local AdoptionLog* made_for;

    [[nodiscard]] static AdoptionLog* taking(PyObject* container) noexcept;
    // The nearest log from `log` outward for `container` that takes the
    // adoptions of single writes (a construction's or a pass's), or null.
    [[nodiscard]] static AdoptionLog* nearest_taker(AdoptionLog* log,
                                                    PyObject* container) noexcept;
    // The nearest log from `log` outward (itself included) for `container`,
    // of the kind `kind` when one is asked for, or null.
    [[nodiscard]] static AdoptionLog* nearest(AdoptionLog* log, PyObject* container,
                                              const Kept* kind = nullptr) noexcept;
    void take(Adoption&& a) noexcept;
    // The log a kept one hands its adoptions to (`Kept`), or null.
    [[nodiscard]] AdoptionLog* handed_to() const noexcept;
    void hand_on() noexcept;
    // Unless the thread has a claim scope open, opens one in the last log of
    // the hand-on chain: opened when no scope is open, it lives to that
    // log's end, after every scope opened inside it.
    void open_claims() noexcept;

    PyObject* container_;
    AdoptionLog* outer_;
    AdoptionLog* made_for_;  // Kept::Up: the log it hands on to, or null
    std::vector<Adoption> taken_;
    std::optional<ClaimScope> claims_;  // released once the destructor has undone
    Kept kept_as_;
    bool settled_ = false;
};

// A value the calling thread is letting go, for the span of the call that
// takes its parent: a hook of the value that places it again meanwhile (an
// adoption stamps it) has given it its place, which the rest of the letting
// go (its path emptied) must then leave as it is.
class LettingGo {
public:
    explicit LettingGo(PyObject* value) noexcept : value_(value), outer_(innermost) {
        innermost = this;
    }
    ~LettingGo() { innermost = outer_; }
    LettingGo(const LettingGo&) = delete;
    LettingGo& operator=(const LettingGo&) = delete;

    [[nodiscard]] bool placed() const noexcept { return placed_; }
    // An adoption is stamping `value`.
    static void stamping(PyObject* value) noexcept {
        for (LettingGo* g = innermost; g; g = g->outer_)
            if (g->value_ == value) g->placed_ = true;
    }

private:
    [[gnu::tls_model("initial-exec")]] static thread_local LettingGo* innermost;
    PyObject* value_;
    LettingGo* outer_;
    bool placed_ = false;
};

// The children the calling thread is stamping now, innermost first, each
// with the container it goes into: a child's own hooks (or its members', as
// it re-paths them) run inside its stamping. One that places a free child
// again meets it still parentless: placed twice so, it would be stored
// twice; it is met as a child given twice to one operation is instead. One
// that writes into the child, or below it, writes under the container the
// child goes into, whose chain the cycle guard follows past the parent the
// child still has. Entered for the length of one stamping: by adoption,
// and by a caller that gives the parent itself once adoption has stamped
// the path (an object's or record's construction, which names that parent:
// the child's place there is settled, and only a placement into another
// node is a second one).
class Stamping {
public:
    enum class Kind : unsigned char {
        ParentGiven,  // the caller gives `container` as parent (a construction)
        Free,         // a parentless child adoption places: any placement meanwhile
                      // is a second one
        Other,        // a clone, or a value whose place adoption does not read
    };

    Stamping(PyObject* child, PyObject* container, Kind kind = Kind::ParentGiven) noexcept
        : child_(child), container_(container), outer_(innermost), kind_(kind) {
        innermost = this;
    }
    ~Stamping() { innermost = outer_; }
    Stamping(const Stamping&) = delete;
    Stamping& operator=(const Stamping&) = delete;

    // Whether placing `child` in `container` now would place it a second
    // time: the calling thread is stamping it for another place.
    [[nodiscard]] static bool places_again(PyObject* child, PyObject* container) noexcept;
    // The container the calling thread is placing `node` in now, or null.
    [[nodiscard]] static PyObject* placing_into(PyObject* node) noexcept;
    // How many stampings the calling thread has under way.
    [[nodiscard]] static std::size_t under_way() noexcept {
        std::size_t n = 0;
        for (const Stamping* s = innermost; s; s = s->outer_) ++n;
        return n;
    }

private:
    [[gnu::tls_model("initial-exec")]] static thread_local Stamping* innermost;
    PyObject* child_;
    PyObject* container_;
    Stamping* outer_;
    Kind kind_;
};

// Adopts `child`, keeping in `out` how to undo its stamping. False with an
// exception.
[[nodiscard]] bool adopt_child(PyObject* child, const AdoptArgs& args, Adoption& out);

// The value to store: `child` itself or its clone; null with an exception.
// For a caller that stores the value where a failure cannot follow (a
// container no other thread sees yet, or the package's own store).
[[nodiscard]] py::Ref adopt_child(PyObject* child, const AdoptArgs& args);

// The cycle guard `adopt_child` would run on `child`, run now: for an
// operation that places several values, so that one of them that would put
// its container below itself refuses the operation before any is placed.
// Runs only where the adoption would (a child it places as it is, not one
// its policy takes untouched or clones, nor one that has a parent), in the
// calling thread's claim scope. 0, or -1 with the cycle error (or another
// failure of the reads).
[[nodiscard]] int refuse_cycle(PyObject* child, const AdoptArgs& args);
// Whether placing `child` in `container` may close a cycle at all, asked
// before anything costly: it is the container, or on its parent chain as
// the calling thread's claims hold it (that chain claimed here when it is
// not yet), or the chain loops, or a placement is under way on this thread
// (whose chain the guard follows too). 1, 0 or -1.
[[nodiscard]] int may_close_cycle(PyObject* container, PyObject* child);

// A native container's own enable_topo; else `value.enable_topo`, which
// must read as a bool scalar. 1, 0 or -1.
[[nodiscard]] int strict_topology_flag(PyObject* value);

// Topology-aware, and either not symbolic or with its strict topology flag
// set: the value takes a parent. 1, 0 or -1.
[[nodiscard]] int needs_parenting(PyObject* value);

// Resets the path a parentless child still carries from an earlier placement
// under this very key of this very owner to the shared empty path. 0 or -1.
[[nodiscard]] int unstamp_phantom_path(PyObject* key, PyObject* child, PyObject* owner_path);
// Whether it carries such a path, which `unstamp_phantom_path` would reset.
// 1, 0 or -1.
[[nodiscard]] int carries_phantom_path(PyObject* key, PyObject* child, PyObject* owner_path);

}  // namespace vesk::symbolic
