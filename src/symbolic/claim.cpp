#include "symbolic/claim.hpp"

#include "py/borrow.hpp"
#include "py/mutex.hpp"
#include "py/named.hpp"
#include "symbolic/child_state.hpp"
#include "symbolic/momentary.hpp"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace vesk::symbolic {

namespace detail {
[[gnu::tls_model("initial-exec")]] constinit thread_local ClaimScope* t_scope = nullptr;
[[gnu::tls_model("initial-exec")]] constinit thread_local std::size_t t_depth = 0;
[[gnu::tls_model("initial-exec")]] constinit thread_local WalkScope* t_walk = nullptr;
}  // namespace detail

using detail::t_depth;
using detail::t_scope;
using detail::t_walk;

// The storage of the claim scopes of one thread, one block per level of
// nesting, kept with its capacity between scopes: a write's claims cost no
// allocation once its thread has written before.
struct ScopeStorage {
    std::vector<ClaimScope::Taken> taken;
    std::vector<py::Ref> kept;
    std::vector<PyObject*> chain;
    std::vector<ClaimScope::Chain> chains;
};

namespace {

using Mode = ClaimScope::Mode;

// One thread's holds of one claim, counted by mode.
struct Holder {
    PyThreadState* thread = nullptr;  // null: none
    std::uint32_t shared = 0;
    std::uint32_t direct = 0;
    std::uint32_t exclusive = 0;
    std::uint32_t sort = 0;
    std::uint32_t positions = 0;
    std::uint32_t moving = 0;
    std::uint32_t following = 0;
    std::uint32_t clearing = 0;

    [[nodiscard]] std::uint32_t& count(Mode mode) noexcept {
        switch (mode) {
            case Mode::Shared: return shared;
            case Mode::Direct: return direct;
            case Mode::Exclusive: return exclusive;
            case Mode::Positions: return positions;
            case Mode::Moving: return moving;
            case Mode::Following: return following;
            case Mode::Clearing: return clearing;
            case Mode::Sort: break;
        }
        return sort;
    }
    [[nodiscard]] bool holds() const noexcept {
        return shared || direct || exclusive || sort || positions || moving || following ||
               clearing;
    }
    // Whether these holds refuse a claim in `mode` (of another thread).
    [[nodiscard]] bool refuses(Mode mode) const noexcept {
        switch (mode) {
            case Mode::Shared: return exclusive;
            case Mode::Direct: return exclusive || sort;
            case Mode::Exclusive: return holds();
            case Mode::Positions: return exclusive || moving;
            case Mode::Moving: return exclusive || positions;
            case Mode::Following: return exclusive || clearing;
            case Mode::Clearing: return exclusive || following;
            case Mode::Sort: break;
        }
        return exclusive || direct || sort;
    }
};

// A node, or one slot of it, and who holds it. Its node is borrowed: every
// holder's scope keeps it alive. Most claims have one holder, kept in place:
// a write takes and drops its claims without allocating.
struct Entry {
    PyObject* node;
    Py_hash_t hash;  // a slot's: the hash of its key
    bool slot;       // false: the node itself
    Holder first;
    std::vector<Holder> others;  // the other threads that share the claim

    [[nodiscard]] bool empty() const noexcept { return !first.thread; }

    // Drops `h`, a holder of this entry that holds nothing any more.
    void drop(Holder* h) noexcept {
        if (h != &first) {
            *h = others.back();
            others.pop_back();
        } else if (!others.empty()) {
            first = others.back();
            others.pop_back();
        } else {
            first = Holder{};
        }
    }
};


// A few claims at a time hash to one shard: a short vector is searched
// faster than any map.
struct alignas(64) Shard {
    py::SpinMutex mutex;
    std::vector<Entry> entries;
};

constexpr std::size_t kShards = 64;
std::array<Shard, kShards> SHARDS;

thread_local std::vector<std::unique_ptr<ScopeStorage>> t_storage;

ScopeStorage& storage_at(std::size_t depth) {
    while (t_storage.size() <= depth) t_storage.push_back(std::make_unique<ScopeStorage>());
    return *t_storage[depth];
}

Shard& shard_of(PyObject* node) noexcept {
    const auto bits = reinterpret_cast<std::uintptr_t>(node) >> 4;
    return SHARDS[(bits * 0x9E3779B97F4A7C15ull) >> 58];
}

Entry* find(Shard& shard, PyObject* node, bool slot, Py_hash_t hash) noexcept {
    for (Entry& e : shard.entries)
        if (e.node == node && e.slot == slot && (!slot || e.hash == hash)) return &e;
    return nullptr;
}

Holder* holder_of(Entry& e, PyThreadState* self) noexcept {
    if (e.first.thread == self) return &e.first;
    for (Holder& h : e.others)
        if (h.thread == self) return &h;
    return nullptr;
}

// Whether another thread's holds refuse this one (the shard locked). A
// slot is always held exclusively.
bool refused(const Entry& e, PyThreadState* self, Mode mode) noexcept {
    auto refuses = [&](const Holder& h) {
        return h.thread && h.thread != self && h.refuses(mode);
    };
    return refuses(e.first) || std::any_of(e.others.begin(), e.others.end(), refuses);
}

// In the child of a fork only the forking thread lives on: the writes of the
// others stopped mid-way, and their claims go with them.
void restart_in_child() noexcept {
    PyThreadState* self = PyThreadState_GetUnchecked();
    for (Shard& shard : SHARDS) {
        for (Entry& e : shard.entries) {
            Holder* own = holder_of(e, self);
            const Holder kept = own ? *own : Holder{};
            e.first = kept;
            e.others.clear();
        }
        std::erase_if(shard.entries, [](const Entry& e) { return e.empty(); });
    }
}

[[maybe_unused]] const int kForkHandler = pthread_atfork(nullptr, nullptr, restart_in_child);

// The parent of `node` as its state tells (null for none): a native node's
// own, else its `_topo_parent`. 0 or -1.
int parent_of(PyObject* node, py::Ref& out) {
    out.reset();
    int native = 0;
    if (past_momentary_holds([&] { return (native = native_parent(node, out)) < 0 ? -1 : 0; }) <
        0)
        return -1;
    if (native == 0) {
        out = py::get_attr<"_topo_parent">(node);
        if (!out) return -1;
    }
    if (out.get() == Py_None) out.reset();
    return 0;
}

}  // namespace

ScopeStorage& ClaimScope::storage() {
    if (!s_) s_ = &storage_at(depth_);
    return *s_;
}


bool ClaimScope::held_exclusively(PyObject* node) const noexcept {
    for (const ClaimScope* scope = this; scope; scope = scope->outer_) {
        if (!scope->s_) continue;
        for (const Taken& t : scope->s_->taken)
            if (t.node == node && t.mode == Mode::Exclusive && !t.slot) return true;
    }
    return false;
}

int ClaimScope::take(PyObject* node, bool slot, Py_hash_t hash, Mode mode) {
    // The node the claim names stays alive until it is released, so its
    // address names no other object meanwhile.
    ScopeStorage& s = storage();
    s.kept.push_back(py::Ref::borrow(node));
    s.taken.reserve(s.taken.size() + 1);
    PyThreadState* self = PyThreadState_GetUnchecked();
    Shard& shard = shard_of(node);
    {
        py::MutexLock lock(shard.mutex);
        Entry* e = find(shard, node, slot, hash);
        if (e && refused(*e, self, mode)) {
            e = nullptr;
        } else {
            if (!e) {
                shard.entries.push_back(Entry{node, hash, slot, {}, {}});
                e = &shard.entries.back();
            }
            Holder* h = holder_of(*e, self);
            if (!h && e->empty()) {
                e->first.thread = self;
                h = &e->first;
            } else if (!h) {
                e->others.push_back(Holder{self});
                h = &e->others.back();
            }
            ++h->count(mode);
            s.taken.push_back(Taken{node, hash, slot, mode});
            return 0;
        }
    }
    py::raise_claim_refused();
    return -1;
}

int ClaimScope::exclusive(PyObject* node) { return take(node, false, 0, Mode::Exclusive); }

void ClaimScope::reparenting(PyObject* node) noexcept {
    for (ClaimScope* scope = this; scope; scope = scope->outer_) {
        if (!scope->s_) continue;
        for (Chain& c : scope->s_->chains)
            if (!c.stale && std::find(scope->s_->chain.begin() + c.begin,
                                      scope->s_->chain.begin() + c.end,
                                      node) != scope->s_->chain.begin() + c.end)
                c.stale = true;
    }
}

int ClaimScope::slot(PyObject* node, PyObject* key) {
    // A slot is its key's hash, by which the dict finds the key: equal keys
    // always meet, whatever their classes. Taken before the shard's lock: a
    // key of a class of its own runs its `__hash__` for it. An exact str
    // keeps its hash, and an int's is arithmetic.
    const Py_hash_t hash = PyObject_Hash(key);
    if (hash == -1) return -1;
    return take(node, true, hash, Mode::Exclusive);
}

int ClaimScope::sort(PyObject* list) { return take(list, false, 0, Mode::Sort); }

// Held on the list's own claim, which the write's claim of its tree has
// made already: counted there, no claim of its own to make and drop.
int ClaimScope::positions(PyObject* list, std::atomic<std::uint32_t>& held) {
    if (take(list, false, 0, Mode::Positions) < 0) return -1;
    // Counted before the write's first store, which is made in the list's
    // critical section: a plain store that reads the count in a later
    // section of its own sees it.
    s_->taken.back().counted = &held;
    held.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

int ClaimScope::moving(PyObject* list) { return take(list, false, 0, Mode::Moving); }

int ClaimScope::following(PyObject* list) { return take(list, false, 0, Mode::Following); }

int ClaimScope::clearing(PyObject* list) { return take(list, false, 0, Mode::Clearing); }

int ClaimScope::tree(PyObject* node) {
    const Chain* claimed = nullptr;
    if (chain_of(node, claimed)) return 0;
    std::vector<PyObject*>& chain = storage().chain;
    const std::size_t begin = chain.size();
    bool loops = false;
    py::Ref current = py::Ref::borrow(node);
    for (;;) {
        // The chain's first node is the one the write stores into.
        const Mode mode = chain.size() == begin ? Mode::Direct : Mode::Shared;
        if (take(current.get(), false, 0, mode) < 0) {
            chain.resize(begin);
            return -1;
        }
        chain.push_back(current.get());  // kept alive by the claim
        py::Ref parent;
        if (parent_of(current.get(), parent) < 0) {
            chain.resize(begin);
            return -1;
        }
        if (!parent) break;
        // A chain that loops (parents set by Python code directly) ends
        // where it comes back.
        if (std::find(chain.begin() + begin, chain.end(), parent.get()) != chain.end()) {
            loops = true;
            break;
        }
        current = std::move(parent);
    }
    s_->chains.push_back(Chain{begin, chain.size(), loops});
    return 0;
}

const ClaimScope* ClaimScope::chain_of(PyObject* container, const Chain*& out) const noexcept {
    // The scopes this one runs inside outlive it: a chain they claimed holds.
    for (const ClaimScope* scope = this; scope; scope = scope->outer_) {
        if (!scope->s_) continue;
        for (const Chain& c : scope->s_->chains)
            if (!c.stale && scope->s_->chain[c.begin] == container) {
                out = &c;
                return scope;
            }
    }
    return nullptr;
}

bool ClaimScope::on_chain(PyObject* container, PyObject* node) const noexcept {
    const Chain* c = nullptr;
    const ClaimScope* scope = chain_of(container, c);
    if (!scope) return false;
    const auto first = scope->s_->chain.begin();
    return std::find(first + c->begin, first + c->end, node) != first + c->end;
}

bool ClaimScope::chain_loops(PyObject* container) const noexcept {
    const Chain* c = nullptr;
    return chain_of(container, c) && c->loops;
}

PyObject* ClaimScope::first_on_chain(PyObject* container,
                                     PyObject* (*pick)(PyObject* node)) const noexcept {
    const Chain* c = nullptr;
    const ClaimScope* scope = chain_of(container, c);
    if (!scope) return nullptr;
    for (std::size_t i = c->begin; i < c->end; ++i)
        if (PyObject* got = pick(scope->s_->chain[i])) return got;
    return nullptr;
}

void ClaimScope::release() noexcept {
    if (!s_) return;  // it never claimed anything
    PyThreadState* self = PyThreadState_GetUnchecked();
    for (auto it = s_->taken.rbegin(); it != s_->taken.rend(); ++it) {
        if (it->counted) it->counted->fetch_sub(1, std::memory_order_relaxed);
        Shard& shard = shard_of(it->node);
        py::MutexLock lock(shard.mutex);
        Entry* e = find(shard, it->node, it->slot, it->hash);
        Holder* h = e ? holder_of(*e, self) : nullptr;
        if (!h) continue;  // dropped at a fork
        --h->count(it->mode);
        if (h->holds()) continue;
        e->drop(h);
        if (e->empty()) {
            *e = std::move(shard.entries.back());
            shard.entries.pop_back();
        }
    }
    s_->taken.clear();
    s_->chain.clear();
    s_->chains.clear();
    // The references go last, with no lock held: a finaliser may run. Its
    // own writes nest below this scope, in storage of their own.
    s_->kept.clear();
}


int ClaimedCall::enter(PyObject* node) {
    // The claim of the node whose members a walk of this thread calls
    // covers the calls it makes on them; a write stamping or letting go the
    // node claims it exclusively already (in a scope this one runs inside,
    // which outlives it): either covers the call without asking the table.
    bool by_parent = false;
    for (const WalkScope* w = t_walk; w; w = w->outer_) {
        if (w->member_ == node) return 0;
        by_parent = by_parent || w->by_parent_;
    }
    if (scope_.held_exclusively(node)) return 0;
    if (by_parent) {
        // A walk left to Python code: its members are the walked node's
        // children, as their own state tells.
        py::Ref parent;
        if (past_momentary_holds([&] { return native_parent(node, parent) < 0 ? -1 : 0; }) < 0)
            return -1;
        for (const WalkScope* w = t_walk; parent && w; w = w->outer_)
            if (w->by_parent_ && w->walked_ == parent.get()) return 0;
    }
    return scope_.exclusive(node);
}

}  // namespace vesk::symbolic
