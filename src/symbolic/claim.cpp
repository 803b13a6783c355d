#include "symbolic/claim.hpp"

#include "py/mutex.hpp"
#include "symbolic/classes.hpp"
#include "symbolic/placement.hpp"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <optional>
#include <vector>

namespace vesk::symbolic {

namespace {

enum class Aim : unsigned char { Place, LetGo, Settle, SetRight };

// One write in a session. Its pointers are borrowed: the writer keeps them
// alive while it is in.
struct Writer {
    std::uint64_t id;
    PyThreadState* thread;
    Aim aim;
    ClaimSlot slot;
};

// The writes in one session: a few kept inline (most sessions have one),
// more on the heap.
class Writers {
public:
    Writers() noexcept = default;
    Writers(Writers&& other) noexcept { *this = std::move(other); }
    Writers& operator=(Writers&& other) noexcept {
        heap_ = std::move(other.heap_);
        on_heap_ = std::exchange(other.on_heap_, false);
        size_ = std::exchange(other.size_, 0);
        if (!on_heap_) std::copy(other.inline_, other.inline_ + size_, inline_);
        return *this;
    }

    Writer* begin() noexcept { return on_heap_ ? heap_.data() : inline_; }
    Writer* end() noexcept { return begin() + size_; }
    const Writer* begin() const noexcept { return on_heap_ ? heap_.data() : inline_; }
    const Writer* end() const noexcept { return begin() + size_; }
    [[nodiscard]] bool empty() const noexcept { return size_ == 0; }

    void push_back(const Writer& w) {
        if (!on_heap_ && size_ < kInline) {
            inline_[size_++] = w;
            return;
        }
        if (!on_heap_) {
            heap_.assign(inline_, inline_ + size_);
            on_heap_ = true;
        }
        heap_.push_back(w);
        ++size_;
    }
    void erase(Writer* w) noexcept {
        std::copy(w + 1, end(), w);
        --size_;
        if (on_heap_) heap_.pop_back();
    }
    template <class Pred>
    void erase_if(Pred pred) noexcept {
        for (Writer* w = begin(); w != end();) {
            if (pred(*w))
                erase(w);
            else
                ++w;
        }
    }

private:
    static constexpr std::size_t kInline = 3;
    Writer inline_[kInline];
    std::vector<Writer> heap_;
    bool on_heap_ = false;
    std::size_t size_ = 0;
};

struct Entry {
    PyObject* node = nullptr;  // by identity
    Writers in;
    Home home;
    std::uint64_t runner = 0;  // the write making the let-go calls, if any
    bool credit = false;       // its calls stand for a let-go not committed yet
    bool spent = false;        // a commit took its calls
    bool dirty = false;
    Owed owed;
    std::uint64_t version = 1;  // moves whenever the home changes
};

// A few nodes at a time hash to one shard: a short vector is searched
// faster than any map. `count` mirrors the number of entries for readers
// that only look whether a node is claimed; `epoch` moves whenever a
// session ends, so a reading of a node's state taken before its write
// entered can be told fresh (no session of the node ended meanwhile).
// Both are written under the lock and read without it, sequentially
// consistent.
struct alignas(64) Shard {
    py::SpinMutex mutex;
    std::atomic<std::size_t> count{0};
    std::atomic<std::uint64_t> epoch{1};
    std::vector<Entry> entries;
};

constexpr std::size_t kShards = 64;
std::array<Shard, kShards> SHARDS;
std::atomic<std::uint64_t> NEXT_ID{1};

// How many sessions the calling thread is in: calls a node's state gets
// while it is in one are a write's own (or its hooks'), not a write outside
// any session.
thread_local int t_sessions = 0;

// How many times the last write out sets a node right while others keep
// meeting it meanwhile; each of them is then in the session and sets it
// right in turn, so this only bounds one thread's share.
constexpr int kSetRightRounds = 8;

// In the child of a fork only the forking thread lives on: the writes of the
// others stopped mid-way. The child keeps the forking thread's own. The
// references the lost sessions held are let go without being dropped (the
// interpreter is not ready for it here): a small leak, once per fork.
void restart_in_child() noexcept {
    PyThreadState* self = PyThreadState_GetUnchecked();
    for (Shard& shard : SHARDS) {
        for (Entry& e : shard.entries) {
            e.in.erase_if([self](const Writer& w) { return w.thread != self; });
            if (e.in.empty()) e.home.abandon();
        }
        std::erase_if(shard.entries, [](const Entry& e) { return e.in.empty(); });
        shard.count.store(shard.entries.size(), std::memory_order_seq_cst);
        shard.epoch.fetch_add(1, std::memory_order_seq_cst);
    }
}

[[maybe_unused]] const int kForkHandler = pthread_atfork(nullptr, nullptr, restart_in_child);

Shard& shard_of(PyObject* node) noexcept {
    const auto bits = reinterpret_cast<std::uintptr_t>(node) >> 4;
    return SHARDS[(bits * 0x9E3779B97F4A7C15ull) >> 58];
}

Entry* find(Shard& shard, PyObject* node) noexcept {
    for (Entry& e : shard.entries)
        if (e.node == node) return &e;
    return nullptr;
}

Entry& open_entry(Shard& shard, PyObject* node) {
    Entry& e = shard.entries.emplace_back();
    e.node = node;
    shard.count.store(shard.entries.size(), std::memory_order_seq_cst);
    return e;
}

Writer* writer_of(Entry& e, std::uint64_t id) noexcept {
    for (Writer& w : e.in)
        if (w.id == id) return &w;
    return nullptr;
}

bool thread_is_in(const Entry& e) noexcept {
    PyThreadState* self = PyThreadState_GetUnchecked();
    for (const Writer& w : e.in)
        if (w.thread == self) return true;
    return false;
}

// Enters a write (the shard locked): a write meeting others dirties the
// session. Answers its id.
std::uint64_t enter(Entry& e, Aim aim, const ClaimSlot& slot) {
    if (!e.in.empty()) e.dirty = true;
    const std::uint64_t id = NEXT_ID.fetch_add(1, std::memory_order_relaxed);
    e.in.push_back(Writer{id, PyThreadState_GetUnchecked(), aim, slot});
    ++t_sessions;
    return id;
}

// Removes the entry of `node` (the shard locked), handing its home back to
// drop once the lock is let go.
Home erase_entry(Shard& shard, PyObject* node) noexcept {
    Home gone;
    std::vector<Entry>& entries = shard.entries;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].node != node) continue;
        gone = std::move(entries[i].home);
        if (i + 1 != entries.size()) entries[i] = std::move(entries.back());
        entries.pop_back();
        shard.count.store(entries.size(), std::memory_order_seq_cst);
        shard.epoch.fetch_add(1, std::memory_order_seq_cst);
        break;
    }
    return gone;
}

// A store over the node took effect (the shard locked): its home is free
// (`full`: with the empty path; else the path it has), and the let-go calls
// are the runner's, else owed (unless the committing write made them,
// `own_calls`). Hands back the home replaced, to drop once the lock is let
// go.
Home commit_let_go(Entry& e, bool full, bool own_calls = false) {
    Home next;
    next.kind = Home::Kind::Free;
    if (full) {
        next.empty_path = true;
    } else if (e.home.kind != Home::Kind::Unset) {
        // A list lets an item go by its parent alone: it keeps the path its
        // home gave it.
        next.node = e.home.node;
        next.key = e.home.key;
        next.path = e.home.path;
        next.empty_path = e.home.empty_path;
    }
    ++e.version;
    if (e.credit && !own_calls) {
        e.credit = false;
        e.spent = true;
    } else if (!own_calls) {
        (full ? e.owed.full : e.owed.parent_only) += 1;
        e.dirty = true;
    }
    return std::exchange(e.home, std::move(next));
}

// The home "stored in `slot`" (the shard locked: the references are new
// ones to objects the writer keeps alive).
Home home_at(const ClaimSlot& slot) {
    Home h;
    h.kind = Home::Kind::At;
    h.parent = py::Ref::borrow(slot.parent == Py_None ? nullptr : slot.parent);
    h.node = py::Ref::borrow(slot.node);
    h.key = py::Ref::borrow(slot.key);
    return h;
}

bool same_slot(const ClaimSlot& a, const ClaimSlot& b) noexcept {
    return a.node == b.node && same_slot_key(a.key, b.key);
}

}  // namespace

bool Home::is(const ClaimSlot& slot) const noexcept {
    return kind == Kind::At && node && node.get() == slot.node && !is_sym_list(slot.node) &&
           same_slot_key(key.get(), slot.key);
}

Home Home::copy() const {
    Home h;
    h.kind = kind;
    h.parent = parent;
    h.node = node;
    h.key = key;
    h.path = path;
    h.empty_path = empty_path;
    return h;
}

void Home::abandon() noexcept {
    (void)parent.release();
    (void)node.release();
    (void)key.release();
    (void)path.release();
}

std::uint64_t claim_epoch(PyObject* node) noexcept {
    return shard_of(node).epoch.load(std::memory_order_seq_cst);
}

bool same_slot_key(PyObject* a, PyObject* b) noexcept {
    if (a == b) return true;
    if (!a || !b || Py_TYPE(a) != Py_TYPE(b)) return false;
    if (PyUnicode_CheckExact(a)) return PyUnicode_Compare(a, b) == 0;
    if (PyLong_CheckExact(a)) return PyObject_RichCompareBool(a, b, Py_EQ) == 1;
    return false;
}

int Claim::place(PyObject* node, const ClaimSlot& slot, std::uint64_t epoch, Home reading,
                 Home& home) {
    leave();
    Home replaced, before;  // outlive the lock: dropping may run a finaliser
    Shard& shard = shard_of(node);
    py::MutexLock lock(shard.mutex);
    Entry* e = find(shard, node);
    if (e && thread_is_in(*e)) {
        // Its own write (a construction meeting the node again, a hook of
        // its own): as the writes that took effect leave it.
        before = std::exchange(home, e->home.kind == Home::Kind::Unset ? std::move(reading)
                                                                       : e->home.copy());
        return 1;
    }
    if (!e) e = &open_entry(shard, node);
    reads_home_ = e->home.kind == Home::Kind::Unset;
    id_ = enter(*e, Aim::Place, slot);
    node_ = node;
    seen_ = e->version;
    if (reads_home_) {
        if (shard.epoch.load(std::memory_order_seq_cst) != epoch) return 0;
        replaced = std::exchange(e->home, std::move(reading));
        ++e->version;
    }
    seen_ = e->version;
    before = std::exchange(home, e->home.copy());
    return 1;
}

void Claim::publish(Home reading, Home& home) {
    Home replaced, before;  // outlive the lock: dropping may run a finaliser
    if (!node_) {
        before = std::exchange(home, std::move(reading));
        return;
    }
    Shard& shard = shard_of(node_);
    py::MutexLock lock(shard.mutex);
    Entry* e = find(shard, node_);
    // Only if no other write published since this one entered: a reading
    // taken while another write's calls may be landing is not a home.
    if (e->home.kind == Home::Kind::Unset || (reads_home_ && e->version == seen_)) {
        replaced = std::exchange(e->home, std::move(reading));
        ++e->version;
    }
    seen_ = e->version;
    before = std::exchange(home, e->home.copy());
}

bool Claim::yields() const noexcept {
    if (!node_) return false;
    Shard& shard = shard_of(node_);
    py::MutexLock lock(shard.mutex);
    Entry* e = find(shard, node_);
    if (!e->runner) return false;
    const Writer* runner = writer_of(*e, e->runner);
    const Writer* self = writer_of(*e, id_);
    return runner && self && same_slot(runner->slot, self->slot);
}

Claim::Commit Claim::commit(PyObject* landed) noexcept {
    if (!node_ || committed_) return Commit::Done;
    Home dropped;
    Shard& shard = shard_of(node_);
    py::MutexLock lock(shard.mutex);
    Entry* e = find(shard, node_);
    Writer* w = writer_of(*e, id_);
    // The home it decided from holds (an addition never finds the node in
    // place); else what the home is now decides: free, or this very slot
    // (another placement to it committed first: the two are joined, and
    // either stores the node).
    const bool decided = e->version == seen_ && !(landed && in_place_);
    if (!decided && e->home.kind != Home::Kind::Free && e->home.kind != Home::Kind::Unset &&
        (landed || !e->home.is(w->slot)))
        return Commit::Lost;
    const Commit made = decided && in_place_ ? Commit::InPlace : Commit::Done;
    // Decided again from a home other writes changed: what this one stamped
    // may have been overwritten since; the last out sets it right.
    if (!decided) e->dirty = true;
    ClaimSlot slot = w->slot;
    if (landed) slot.key = landed;
    dropped = std::exchange(prior_, std::exchange(e->home, home_at(slot)));
    seen_ = ++e->version;
    in_place_ = true;
    committed_ = true;
    if (landed) w->aim = Aim::Settle;
    return made;
}

void Claim::leave_as(Home stamped) noexcept {
    if (!node_) return;
    {
        Home replaced;
        Shard& shard = shard_of(node_);
        py::MutexLock lock(shard.mutex);
        Entry* e = find(shard, node_);
        if (!committed_ && e->version == seen_) {
            replaced = std::exchange(e->home, std::move(stamped));
            ++e->version;
        }
    }
    end(false, -1);
}

void Claim::retract() noexcept {
    if (!node_ || !committed_) return;
    committed_ = false;
    Home dropped;
    Shard& shard = shard_of(node_);
    py::MutexLock lock(shard.mutex);
    Entry* e = find(shard, node_);
    e->dirty = true;
    if (e->version == seen_) {
        dropped = std::exchange(e->home, std::move(prior_));
        ++e->version;
    }
}

bool Claim::still_committed() noexcept {
    if (!node_ || !committed_) return !node_;
    Home dropped;
    Shard& shard = shard_of(node_);
    py::MutexLock lock(shard.mutex);
    Entry* e = find(shard, node_);
    if (e->version == seen_) return true;
    committed_ = false;
    dropped = std::move(prior_);
    return false;
}

bool Claim::commit_stands() const noexcept {
    if (!node_ || !committed_) return !node_;
    Shard& shard = shard_of(node_);
    py::MutexLock lock(shard.mutex);
    return find(shard, node_)->version == seen_;
}

bool Claim::home_is_mine() const noexcept {
    if (!node_) return true;
    Shard& shard = shard_of(node_);
    py::MutexLock lock(shard.mutex);
    Entry* e = find(shard, node_);
    const Writer* w = writer_of(*e, id_);
    return e->home.kind == Home::Kind::At && e->home.node.get() == w->slot.node &&
           same_slot_key(e->home.key.get(), w->slot.key);
}

Claim::LetGo Claim::let_go(PyObject* node, const ClaimSlot& slot, std::uint64_t epoch) {
    leave();
    Shard& shard = shard_of(node);
    py::MutexLock lock(shard.mutex);
    Entry* e = find(shard, node);
    if (e && thread_is_in(*e)) {
        reentered_ = node;
        return LetGo::Runs;
    }
    if (!e) e = &open_entry(shard, node);
    id_ = enter(*e, Aim::LetGo, slot);
    node_ = node;
    // Another write makes the calls already (or made them for the next
    // let-go to take effect); or the writes that took effect have taken the
    // node out of this slot since it was read here.
    if (e->runner || e->credit) return LetGo::Leaves;
    const Home& h = e->home;
    if (h.kind == Home::Kind::Free ||
        (h.kind == Home::Kind::At && h.node && h.node.get() != slot.node))
        return LetGo::Leaves;
    e->runner = id_;
    e->credit = true;
    if (h.kind != Home::Kind::Unset) return LetGo::Runs;
    // Read in the slot after the epoch was taken, and no session of it
    // ended since: it is there still (every write that takes it out of a
    // dictionary or object slot is in a session while it does).
    if (shard.epoch.load(std::memory_order_seq_cst) != epoch) return LetGo::Check;
    e->home = home_at(slot);
    ++e->version;
    return LetGo::Runs;
}

void Claim::confirm() {
    if (!node_) return;
    Home dropped;
    Shard& shard = shard_of(node_);
    py::MutexLock lock(shard.mutex);
    Entry* e = find(shard, node_);
    if (e->home.kind == Home::Kind::Unset) {
        dropped = std::exchange(e->home, home_at(writer_of(*e, id_)->slot));
        ++e->version;
    }
}

bool Claim::spent() const noexcept {
    if (!node_) return false;
    Shard& shard = shard_of(node_);
    py::MutexLock lock(shard.mutex);
    const Entry* e = find(shard, node_);
    return e->runner == id_ && e->spent;
}

void Claim::let_go_committed(bool full, Home& dropped) noexcept {
    PyObject* node = node_ ? node_ : std::exchange(reentered_, nullptr);
    if (!node) return;
    Shard& shard = shard_of(node);
    py::MutexLock lock(shard.mutex);
    Entry* e = find(shard, node);
    if (!e) return;
    if (node_) {
        dropped = commit_let_go(*e, full);
        return;
    }
    // This thread's own write made the calls: only the home changes.
    dropped = commit_let_go(*e, full, true);
}

void Claim::calls_failed() noexcept {
    if (!node_) return;
    Shard& shard = shard_of(node_);
    py::MutexLock lock(shard.mutex);
    Entry* e = find(shard, node_);
    e->dirty = true;
    if (e->runner != id_) return;
    if (e->spent) e->owed.full += 1;
    e->runner = 0;
    e->credit = e->spent = false;
}

bool Claim::settle(PyObject* node, const ClaimSlot& slot) {
    leave();
    Shard& shard = shard_of(node);
    py::MutexLock lock(shard.mutex);
    Entry* e = find(shard, node);
    if (e && thread_is_in(*e)) return true;
    // Moved or let go by a write that took effect: stored elsewhere now.
    if (e && (e->home.kind == Home::Kind::Free ||
              (e->home.kind == Home::Kind::At && e->home.node && e->home.node.get() != slot.node)))
        return false;
    if (!e) e = &open_entry(shard, node);
    id_ = enter(*e, Aim::Settle, slot);
    node_ = node;
    return true;
}

void Claim::settled_here(PyObject* parent) {
    if (!node_) return;
    Home replaced;
    Shard& shard = shard_of(node_);
    py::MutexLock lock(shard.mutex);
    Entry* e = find(shard, node_);
    const Home& h = e->home;
    // A reading gives the parent only; the slot gives the path too, as the
    // node's path moves with its container's.
    if (h.kind != Home::Kind::Unset && !(h.kind == Home::Kind::At && !h.node && h.parent.get() == parent))
        return;
    ClaimSlot slot = writer_of(*e, id_)->slot;
    slot.parent = parent;
    replaced = std::exchange(e->home, home_at(slot));
    ++e->version;
}

namespace {

// What the last write out does next.
struct SetRightRound {
    std::uint64_t fixer = 0;  // its id as the setting-right write; 0: none
    Owed owed;
    Home home;
};

// The writer `w` of `e` leaves (the shard locked). Where it was the last and
// the session is dirty, it stays in to set the node right: `round` is
// filled. Otherwise, the last out, the session ends, its home handed back in
// `erased` (as too after `kSetRightRounds` rounds: `give_up`).
void leave_session(Shard& shard, Entry& e, Writer* w, bool give_up, Home& erased,
                   std::optional<SetRightRound>& round) {
    e.in.erase(w);
    --t_sessions;
    if (!e.in.empty()) return;
    if ((!e.dirty && !e.owed.any()) || give_up) {
        erased = erase_entry(shard, e.node);
        return;
    }
    // Meanwhile it stays in, so a write that comes meets it.
    e.dirty = false;
    round.emplace();
    round->owed = std::exchange(e.owed, Owed{});
    round->home = e.home.copy();
    round->fixer = enter(e, Aim::SetRight, ClaimSlot{});
}

// Whether no write met the node's setting right since its round began
// (entering, or a direct call on its state, dirties the session).
bool round_unmet(PyObject* node) noexcept {
    Shard& shard = shard_of(node);
    py::MutexLock lock(shard.mutex);
    const Entry* e = find(shard, node);
    return e && !e->dirty;
}

}  // namespace

void Claim::end(bool failed, int let_go) noexcept {
    PyObject* node = node_;
    const std::uint64_t id = id_;
    node_ = nullptr;
    id_ = 0;
    // Everything dropped here outlives the lock, declared before it.
    Home prior = std::move(prior_);
    Home committed;
    Home erased;
    std::optional<SetRightRound> round;  // only where this write sets the node right
    Shard& shard = shard_of(node);
    {
        py::MutexLock lock(shard.mutex);
        Entry* e = find(shard, node);
        Writer* w = e ? writer_of(*e, id) : nullptr;
        if (!w) return;
        if (let_go >= 0) committed = commit_let_go(*e, let_go != 0);
        if (e->runner == id) {
            // Calls made that no commit took yet stand for the next let-go
            // to take effect; should none, the home still has it stored.
            if (e->credit) e->dirty = true;
            e->runner = 0;
            e->spent = false;
        }
        if (failed) e->dirty = true;
        leave_session(shard, *e, w, false, erased, round);
    }
    if (!round) return;

    // Setting right runs Python code: the pending exception, if any, is
    // kept, and the node is kept alive by this write meanwhile.
    PyObject* pending = PyErr_GetRaisedException();
    py::Ref keep = py::Ref::borrow(node);
    for (int rounds = 1; round; ++rounds) {
        set_node_right(node, round->owed, round->home, round_unmet);
        SetRightRound done = std::move(*round);
        round.reset();
        py::MutexLock lock(shard.mutex);
        Entry* e = find(shard, node);
        Writer* w = e ? writer_of(*e, done.fixer) : nullptr;
        if (w) leave_session(shard, *e, w, rounds >= kSetRightRounds, erased, round);
    }
    erased = Home{};
    keep.reset();
    PyErr_SetRaisedException(pending);
}

py::Ref claimed_destination(PyObject* node, const Claim& claim) {
    const std::uint64_t before = claim.order();
    Shard& shard = shard_of(node);
    if (shard.count.load(std::memory_order_seq_cst) == 0) return {};
    // A new reference, taken while the placing write (which keeps it alive)
    // is in.
    py::MutexLock lock(shard.mutex);
    if (const Entry* e = find(shard, node))
        for (const Writer& w : e->in)
            if (w.aim == Aim::Place && (!before || w.id < before))
                return py::Ref::borrow(w.slot.parent && w.slot.parent != Py_None ? w.slot.parent
                                                                                 : w.slot.node);
    return {};
}

void note_state_write(PyObject* node, bool parent, PyObject* value) noexcept {
    if (t_sessions > 0) return;
    Shard& shard = shard_of(node);
    // A reading of the node taken before this call is stale now.
    shard.epoch.fetch_add(1, std::memory_order_seq_cst);
    if (shard.count.load(std::memory_order_seq_cst) == 0) return;
    Home dropped;
    py::MutexLock lock(shard.mutex);
    Entry* e = find(shard, node);
    if (!e || e->home.kind == Home::Kind::Unset) return;
    Home next = e->home.copy();
    if (value == Py_None) value = nullptr;
    if (parent) {
        next.kind = value ? Home::Kind::At : Home::Kind::Free;
        next.parent = py::Ref::borrow(value);
    } else {
        next.node.reset();
        next.key.reset();
        next.path = py::Ref::borrow(value);
        next.empty_path = false;
    }
    dropped = std::exchange(e->home, std::move(next));
    ++e->version;
    e->dirty = true;
}

int held_in_session(PyObject* node) noexcept {
    Shard& shard = shard_of(node);
    if (shard.count.load(std::memory_order_seq_cst) == 0) return -1;
    py::MutexLock lock(shard.mutex);
    const Entry* e = find(shard, node);
    if (!e) return -1;
    for (const Writer& w : e->in)
        if (w.aim == Aim::LetGo) return 1;
    switch (e->home.kind) {
        case Home::Kind::At: return 1;
        case Home::Kind::Free: return 0;
        case Home::Kind::Unset: break;
    }
    return -1;
}

}  // namespace vesk::symbolic
