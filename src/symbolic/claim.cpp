#include "symbolic/claim.hpp"

#include "py/borrow.hpp"
#include "py/mutex.hpp"
#include "py/named.hpp"
#include "symbolic/child_state.hpp"
#include "symbolic/momentary.hpp"

#include <pthread.h>

#include <algorithm>
#include <array>

namespace vesk::symbolic {

namespace {

// One thread's holds of one claim.
struct Holder {
    PyThreadState* thread;
    std::uint32_t shared;
    std::uint32_t exclusive;
};

// A node, or one slot of it, and who holds it. Its pointers are borrowed:
// every holder's scope keeps them alive.
struct Entry {
    PyObject* node;
    PyObject* key;  // null: the node itself
    std::vector<Holder> holders;
};

// A few claims at a time hash to one shard: a short vector is searched
// faster than any map.
struct alignas(64) Shard {
    py::SpinMutex mutex;
    std::vector<Entry> entries;
};

constexpr std::size_t kShards = 64;
std::array<Shard, kShards> SHARDS;

[[gnu::tls_model("initial-exec")]] thread_local int t_walks = 0;
[[gnu::tls_model("initial-exec")]] thread_local ClaimScope* t_scope = nullptr;

Shard& shard_of(PyObject* node) noexcept {
    const auto bits = reinterpret_cast<std::uintptr_t>(node) >> 4;
    return SHARDS[(bits * 0x9E3779B97F4A7C15ull) >> 58];
}

// Whether a key of this kind compares natively.
bool native_key(PyObject* key) noexcept {
    return PyUnicode_CheckExact(key) || PyLong_CheckExact(key);
}

Entry* find(Shard& shard, PyObject* node, PyObject* key) noexcept {
    for (Entry& e : shard.entries)
        if (e.node == node && (e.key == key || (e.key && key && same_slot_key(e.key, key))))
            return &e;
    return nullptr;
}

Holder* holder_of(Entry& e, PyThreadState* self) noexcept {
    for (Holder& h : e.holders)
        if (h.thread == self) return &h;
    return nullptr;
}

// Whether another thread's holds refuse this one (the shard locked).
bool refused(const Entry& e, PyThreadState* self, bool exclusive) noexcept {
    for (const Holder& h : e.holders) {
        if (h.thread == self) continue;
        if (exclusive || e.key || h.exclusive) return true;
    }
    return false;
}

// In the child of a fork only the forking thread lives on: the writes of the
// others stopped mid-way, and their claims go with them.
void restart_in_child() noexcept {
    PyThreadState* self = PyThreadState_GetUnchecked();
    for (Shard& shard : SHARDS) {
        for (Entry& e : shard.entries)
            std::erase_if(e.holders, [self](const Holder& h) { return h.thread != self; });
        std::erase_if(shard.entries, [](const Entry& e) { return e.holders.empty(); });
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

ClaimScope::ClaimScope() noexcept : outer_(t_scope) { t_scope = this; }

ClaimScope* ClaimScope::current() noexcept { return t_scope; }

bool ClaimScope::covered(PyObject* node, PyObject* key, bool exclusive) const noexcept {
    for (const ClaimScope* scope = this; scope; scope = scope->outer_)
        for (const Taken& t : scope->taken_)
            if (t.node == node && (t.exclusive || !exclusive) &&
                (t.key == key || (t.key && key && same_slot_key(t.key, key))))
                return true;
    return false;
}

int ClaimScope::take(PyObject* node, PyObject* key, bool exclusive) {
    // A claim this thread holds already in this scope or one it runs inside
    // (which outlives this one) covers the request: the table is not asked.
    if (covered(node, key, exclusive || key)) return 0;
    // What the claim names stays alive until it is released, so its address
    // names no other object meanwhile.
    kept_.push_back(py::Ref::borrow(node));
    if (key) kept_.push_back(py::Ref::borrow(key));
    taken_.reserve(taken_.size() + 1);
    PyThreadState* self = PyThreadState_GetUnchecked();
    Shard& shard = shard_of(node);
    {
        py::MutexLock lock(shard.mutex);
        Entry* e = find(shard, node, key);
        if (e && refused(*e, self, exclusive)) {
            e = nullptr;
        } else {
            if (!e) {
                shard.entries.push_back(Entry{node, key, {}});
                e = &shard.entries.back();
            }
            Holder* h = holder_of(*e, self);
            if (!h) {
                e->holders.push_back(Holder{self, 0, 0});
                h = &e->holders.back();
            }
            ++(exclusive || key ? h->exclusive : h->shared);
            taken_.push_back(Taken{node, key, exclusive || key});
            return 0;
        }
    }
    py::raise_claim_refused();
    return -1;
}

int ClaimScope::exclusive(PyObject* node) { return take(node, nullptr, true); }

int ClaimScope::slot(PyObject* node, PyObject* key) {
    // Keys that do not compare natively count as one slot of the node.
    static PyObject* const kOtherKeys = Py_None;
    return take(node, native_key(key) ? key : kOtherKeys, true);
}

int ClaimScope::tree(PyObject* node) {
    const Chain* claimed = nullptr;
    if (chain_of(node, claimed)) return 0;
    const std::size_t begin = chain_.size();
    bool loops = false;
    py::Ref current = py::Ref::borrow(node);
    for (;;) {
        if (take(current.get(), nullptr, false) < 0) {
            chain_.resize(begin);
            return -1;
        }
        chain_.push_back(current.get());  // kept alive by the claim
        py::Ref parent;
        if (parent_of(current.get(), parent) < 0) {
            chain_.resize(begin);
            return -1;
        }
        if (!parent) break;
        // A chain that loops (parents set by Python code directly) ends
        // where it comes back.
        if (std::find(chain_.begin() + begin, chain_.end(), parent.get()) != chain_.end()) {
            loops = true;
            break;
        }
        current = std::move(parent);
    }
    chains_.push_back(Chain{begin, chain_.size(), loops});
    return 0;
}

const ClaimScope* ClaimScope::chain_of(PyObject* container, const Chain*& out) const noexcept {
    // The scopes this one runs inside outlive it: a chain they claimed holds.
    for (const ClaimScope* scope = this; scope; scope = scope->outer_)
        for (const Chain& c : scope->chains_)
            if (scope->chain_[c.begin] == container) {
                out = &c;
                return scope;
            }
    return nullptr;
}

bool ClaimScope::on_chain(PyObject* container, PyObject* node) const noexcept {
    const Chain* c = nullptr;
    const ClaimScope* scope = chain_of(container, c);
    if (!scope) return false;
    const auto begin = scope->chain_.begin();
    return std::find(begin + c->begin, begin + c->end, node) != begin + c->end;
}

bool ClaimScope::chain_loops(PyObject* container) const noexcept {
    const Chain* c = nullptr;
    return chain_of(container, c) && c->loops;
}

void ClaimScope::release() noexcept {
    if (taken_.empty() && kept_.empty()) return;  // most scopes claim nothing
    PyThreadState* self = PyThreadState_GetUnchecked();
    for (auto it = taken_.rbegin(); it != taken_.rend(); ++it) {
        Shard& shard = shard_of(it->node);
        py::MutexLock lock(shard.mutex);
        Entry* e = find(shard, it->node, it->key);
        Holder* h = e ? holder_of(*e, self) : nullptr;
        if (!h) continue;  // dropped at a fork
        --(it->exclusive ? h->exclusive : h->shared);
        if (h->exclusive || h->shared) continue;
        std::erase_if(e->holders, [self](const Holder& x) { return x.thread == self; });
        if (e->holders.empty()) {
            *e = std::move(shard.entries.back());
            shard.entries.pop_back();
        }
    }
    taken_.clear();
    chain_.clear();
    chains_.clear();
    // The references go last, with no lock held: a finaliser may run.
    kept_.clear();
}

ClaimScope::~ClaimScope() {
    release();
    t_scope = outer_;
}

int ClaimedCall::enter(PyObject* node) {
    // A write stamping or letting go the node claims it exclusively already,
    // and this claim re-enters that one.
    return t_walks > 0 ? 0 : scope_.exclusive(node);
}

WalkScope::WalkScope() noexcept { ++t_walks; }
WalkScope::~WalkScope() { --t_walks; }

bool same_slot_key(PyObject* a, PyObject* b) noexcept {
    if (a == b) return true;
    if (!a || !b || Py_TYPE(a) != Py_TYPE(b)) return false;
    if (PyUnicode_CheckExact(a)) return PyUnicode_Equal(a, b) == 1;
    if (PyLong_CheckExact(a)) return PyObject_RichCompareBool(a, b, Py_EQ) == 1;
    return false;
}

}  // namespace vesk::symbolic
