// An apply of a spec to a symbolic container, taken as one operation on it:
// the driver's road through the container's `custom_apply` (which may bind
// it and set its allow_partial flag) and the element pass that writes its
// members back, or `use_value_spec` around them. A spec's apply runs user
// code (validators, transforms) member by member, and may fail at any of
// them: one that fails must leave the container as it was, or a retry would
// find it bound, take it as applied, and report success on content nothing
// checked.
//
// A log, for its run:
// - claims the container exclusively (claim.hpp), in the claim scope of the
//   operation it is part of when there is one: a write of another thread on
//   it or below it refuses the apply at once, or is refused by it;
// - for an element pass (`members`), marks it held (container/sorting.hpp):
//   other threads' writes, and writes of its own thread that are not the
//   pass writing a member back (an element's transform inserting into the
//   list), fail at once with the borrow refusal, having changed nothing;
// - keeps what the apply changes: the binding and the flags as they were
//   when it began, each member the pass writes back with what it replaced
//   (and the adoptions made for it, in its AdoptionLog), and the field
//   updates of a dictionary's write-backs, which are sent only once the
//   apply stands.
// A log that ends without `commit` gives all of it back, latest first. A log
// inside another log of the same container (the driver's apply inside
// `use_value_spec`, the element pass inside the driver's apply) hands what
// it kept on to that one when it stands: the outermost decides. So does a
// log of a member inside the log of what holds it (a member the element
// pass applies, bound by its own `custom_apply`): should the whole apply
// fail, the member is given back too, its binding and flags included. A
// container a hook made or took meanwhile, which nothing being applied
// holds, stands on its own.
//
// A construction (of an object, a record, a typed dictionary) applies its
// fields' specs to its arguments before it holds them: its ConstructionLog
// takes, as the log of what holds it, the apply of a container that is one
// of its arguments, or the node it builds, or below either. Should the
// construction fail, each is given back as a failed apply is; once it
// stands, their updates are sent. What it takes lands in a log made on the
// first hand-on, so a construction that takes nothing pays next to nothing.
// Their adoptions are kept in the construction's own AdoptionLog, which
// gives back what the construction placed itself once that log has given
// back what was handed to it.
#pragma once

#include "py/ref.hpp"
#include "symbolic/adoption.hpp"
#include "symbolic/claim.hpp"
#include "symbolic/placement.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace vesk::symbolic {

class ConstructionLog;

class PassLog {
public:
    PassLog() noexcept = default;
    // Begun and not committed: gives everything back.
    ~PassLog();
    PassLog(const PassLog&) = delete;
    PassLog& operator=(const PassLog&) = delete;

    // Takes `container` (a SymDict or SymList, nothing else) for the apply.
    // 0, or -1 with the refusal (nothing taken).
    [[nodiscard]] int begin(PyObject* container, bool members);
    // The apply stands: what the log kept goes to the enclosing log of the
    // container, or, from the outermost, the deferred updates are sent. 0,
    // or -1 when a notification failed (the changes stand).
    [[nodiscard]] int commit();

    // The calling thread's innermost log of `container`, or null.
    [[nodiscard]] static PassLog* of(PyObject* container) noexcept;
    // The allow_partial flag the container had before the `use_value_spec`
    // that runs now on this thread set it (none outside one).
    [[nodiscard]] static std::optional<bool> prior_allow_partial(PyObject* container) noexcept;

    // What a write-back of the pass tells its log. `mark()` is read before
    // the write adopts its value; a store is kept with it.
    [[nodiscard]] std::size_t mark() const noexcept;
    // A list position `pos` now holding `value` in place of `replaced`
    // (null: the value was added).
    void stored_at(py::Ref value, py::Ref replaced, Py_ssize_t pos, std::size_t mark) noexcept;
    // A dictionary key now holding `value` (null: removed) in place of
    // `replaced` (null: absent), which had the placement `placed` when
    // `give_back` (it was let go).
    void stored_under(py::Ref key, py::Ref value, py::Ref replaced, Placement placed,
                      bool give_back, std::size_t mark) noexcept;
    // A dictionary write-back's field update, sent when the apply stands.
    // False when it could not be kept (the caller sends it now).
    [[nodiscard]] bool defer(const py::Ref& update) noexcept;
    // The container's `custom_apply` goes on to check its members under
    // `allow_partial`.
    void checking(bool allow_partial) noexcept { strict_check_ |= !allow_partial; }
    // `use_value_spec` sets the flag that was `prior`.
    void set_prior_allow_partial(bool prior) noexcept { prior_allow_partial_ = prior; }

private:
    friend class ConstructionLog;

    struct Entry {
        py::Ref container;  // whose: a member's, handed on; null: the log's own
        bool list = false;  // the container is a SymList
        bool state = false;  // restores the binding and flags, not a member
        py::Ref key;        // dictionary: the key; list: none
        py::Ref value;      // what the write-back stored (null: removed); the
                            // spec, for a state entry
        py::Ref replaced;   // what it replaced (null: nothing)
        Placement placed;   // the replaced value's placement, to give back
        Py_ssize_t pos = 0;
        std::size_t mark = 0;
        bool give_back = false;  // also: allow_partial, for a state entry
        bool loosened = false;   // for a state entry
        // Stands though the log fails (ConstructionLog::fail_keeping): not
        // given back.
        bool stands = false;
    };
    // A dictionary's field update, sent once the apply stands.
    struct Update {
        py::Ref container;  // null: the log's own
        py::Ref update;
    };

    // The nearest log of `container` from `log` outward that has not
    // settled, or null.
    [[nodiscard]] static PassLog* open_log_of(PassLog* log, PyObject* container) noexcept;
    // The nearest open log from `log` and `frames` outward that holds
    // `container`: a pass whose container is on its chain of parents, or a
    // construction it is given to (ConstructionLog); null when none does.
    // `committing`: the log of `container`'s apply, when it is one: a
    // construction also takes a log that took the apply of a container it
    // is given (a member of a container made from its arguments).
    [[nodiscard]] static PassLog* holder_log(PassLog* log, ConstructionLog* frames,
                                             PyObject* container,
                                             const PassLog* committing = nullptr) noexcept;
    // Whether this open log's container is on `chain` (`n` parents).
    [[nodiscard]] bool holds(PyObject* const* chain, int n) const noexcept;
    [[nodiscard]] AdoptionLog& adoptions() noexcept {
        return construction_ ? *construction_ : *adoptions_;
    }
    void keep(Entry&& e) noexcept;
    // Whether the apply kept anything, or left the binding or flags other
    // than it found them: what an enclosing operation would give back.
    [[nodiscard]] bool changed() const noexcept;
    // Sends the deferred updates, in order. 0 or -1.
    [[nodiscard]] int send_updates();
    // Hands what the log kept on to `to`, which decides on it (every entry
    // and update naming its container when `foreign`).
    void hand_on(PassLog& to, bool foreign) noexcept;
    void abort() noexcept;
    // False when the entry's store stands (unstore).
    [[nodiscard]] bool give_back_entry(const Entry& e) noexcept;
    void end_mark() noexcept;
    void pop() noexcept;

    py::Ref container_;
    bool list_ = false;
    PassLog* outer_ = nullptr;
    bool pushed_ = false;
    bool settled_ = false;
    bool marked_ = false;  // this log took the container's pass mark
    // What the container's state was when the log began.
    py::Ref spec_;
    bool allow_partial_ = false;
    bool loosened_ = false;
    std::optional<bool> prior_allow_partial_;
    bool strict_check_ = false;
    std::vector<Entry> entries_;
    std::vector<Update> updates_;
    // Its own claim scope, when no operation's was open; declared before
    // the adoption log, so it outlives it.
    std::optional<ClaimScope> claims_;
    std::optional<AdoptionLog> adoptions_;
    // Where it was opened among its thread's logs and constructions.
    std::uint64_t seq_ = 0;
    // The log a construction made for what it takes: the construction's
    // adoptions (borrowed); it has no container of its own and is on no
    // thread's chain.
    AdoptionLog* construction_ = nullptr;
};

// The claim scope a construction opens, before its AdoptionLog, when its
// thread has none open: the containers its fields' specs apply stay claimed
// (claim.hpp) until it decides on them, as the children it places do, so no
// other thread's write meets one bound by a construction that may yet fail.
class ConstructionClaims {
public:
    ConstructionClaims() noexcept {
        if (!ClaimScope::current()) scope_.emplace();
    }

private:
    std::optional<ClaimScope> scope_;
};

// The log of one construction, on its thread's stack while it runs (above).
class ConstructionLog {
public:
    // `node`: what it builds; `arguments`: the values it is given (a dict or
    // list of them, or a single value; null for none), alive to the log's end; `adoptions`: the construction's
    // AdoptionLog, which outlives this.
    ConstructionLog(PyObject* node, PyObject* arguments, AdoptionLog& adoptions) noexcept;
    // Not committed: gives back what it took.
    ~ConstructionLog();
    ConstructionLog(const ConstructionLog&) = delete;
    ConstructionLog& operator=(const ConstructionLog&) = delete;

    // The construction stands: what it took goes on to an operation that
    // holds its node, or its updates are sent. 0, or -1 when a notification
    // failed (the changes stand).
    [[nodiscard]] int commit() {
        pop();
        return taken_ ? settle(true) : 0;
    }
    // The same for a write that no operation around it takes back (a
    // list's batch): what it took stands with its stores whatever holds its
    // node, and its updates are sent. 0, or -1 when a notification failed.
    [[nodiscard]] int commit_alone() {
        pop();
        return taken_ ? settle(false) : 0;
    }

    // How much it has taken so far: the marks `fail_keeping` reads.
    struct Taken {
        std::size_t entries = 0, updates = 0;
    };
    [[nodiscard]] Taken taken() const noexcept {
        return taken_ ? Taken{taken_->entries_.size(), taken_->updates_.size()} : Taken{};
    }
    // It fails, but what it took between each pair of marks of `kept`
    // stands (the applies of a value whose store stood): the rest is given
    // back, then the updates of what stands are sent, the pending failure
    // kept (one failing to be sent is dropped). The adoptions of what stands
    // are the caller's to keep.
    void fail_keeping(const std::vector<std::pair<Taken, Taken>>& kept) noexcept;

private:
    friend class PassLog;

    // `to_holder`: what it took goes on to an operation that holds its
    // node, if any.
    [[nodiscard]] int settle(bool to_holder);
    void pop() noexcept;
    // Whether it takes the apply of `container`, whose parents up its chain
    // are `chain` (`n` of them).
    [[nodiscard]] bool holds(PyObject* container, PyObject* const* chain, int n) noexcept;
    [[nodiscard]] bool is_argument(PyObject* value) noexcept;
    // Whether `committing` holds what an apply of one of its arguments kept.
    [[nodiscard]] bool holds_any_of(const PassLog& committing) noexcept;
    // The log what it takes lands in, made on first use; null without memory.
    [[nodiscard]] PassLog* log() noexcept;

    PyObject* node_;
    PyObject* arguments_;
    AdoptionLog* adoptions_;
    PassLog* below_;          // its thread's innermost pass log when it opened
    ConstructionLog* outer_;  // its thread's construction log around it
    std::uint64_t seq_;
    PassLog* taken_ = nullptr;
    struct Given;
    std::unique_ptr<Given> given_;  // what it was given, gathered on first need
    bool pushed_ = true;
};

// The log of one write of a single value (a key, a position, a field) that
// applies its field's spec to the value before it places it. The apply may
// change what it was given (a symbolic container bound to the spec, its
// members filled or replaced), and the write may still refuse it after that
// (held elsewhere, a cycle, a hook failing): it then gives back what the
// apply changed as a failed batch or construction does, taking the applies
// of the value (and of what a plain container it is holds) as a
// construction takes those of its arguments, and what was made for the
// value (a raw container wrapped, its members adopted). One whose store
// stands keeps them, and sends their updates before its own.
//
// What was made for the write stands with its store, whatever happens
// after. So do the applies it took, unless the write is a pass's write-back
// (`kept_by_pass`): the pass keeps its store, to give it back should it
// fail, and is itself handed on to an operation that holds the node; the
// applies go on there too, with what they placed, and are decided on with
// the store. Any other write no operation around it takes back. The two are
// kept apart.
class WriteLog {
public:
    // `node`: what the write stores into; `value`: what it was given, alive
    // to the log's end.
    WriteLog(PyObject* node, PyObject* value, bool kept_by_pass = false) noexcept
        : applies_(node, AdoptionLog::Kept::Drop),
          made_(node, AdoptionLog::Kept::Drop),
          applied_(node, value, applies_),
          kept_by_pass_(kept_by_pass) {}
    WriteLog(const WriteLog&) = delete;
    WriteLog& operator=(const WriteLog&) = delete;

    // The write's store stands: the applies stand with it, and their
    // updates are sent. 0, or -1 when sending them failed (they stand). A
    // write that fails with its store standing keeps its failure pending: a
    // failure of the sending is then dropped.
    [[nodiscard]] int keep();

private:
    // Declared in the order they open: the made log innermost, where the
    // wraps made for the write find it.
    AdoptionLog applies_;  // what the applies taken placed
    AdoptionLog made_;
    ConstructionLog applied_;
    bool kept_by_pass_;
};

// What each kind gives back and sends, defined by its own room
// (symbolic/dict, symbolic/list), which stands above this one.
namespace dict {
// Sends one field update of the dictionary (null: nothing). 0 or -1.
[[nodiscard]] int notify(PyObject* self, const py::Ref& update);
// Takes a write-back of a failed apply back: where `key` still holds
// `value` (null: absent), it holds `replaced` again (null: absent); a
// replaced value that was let go (`give_back`) gets back its placement
// `placed` first. Keeps the pending exception. False when that value will
// not take its place back (take_back): the write-back then stands.
[[nodiscard]] bool unstore(PyObject* self, PyObject* key, PyObject* value, PyObject* replaced,
                           const Placement& placed, bool give_back) noexcept;
}  // namespace dict
namespace list {
// Takes a write-back of a failed apply back: `value` out of the position
// `pos` (null `replaced`: the value was added), `replaced` in again,
// attached to the list. Keeps the pending exception. False when `replaced`
// will not take its place back: the write-back then stands.
[[nodiscard]] bool unstore_at(PyObject* self, PyObject* value, PyObject* replaced,
                              Py_ssize_t pos) noexcept;
}  // namespace list

// Installs the typing layer's road to these logs
// (typing/applied_members.hpp). Called by the symbolic registration.
void install_container_pass() noexcept;

}  // namespace vesk::symbolic
