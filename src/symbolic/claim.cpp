#include "symbolic/claim.hpp"

#include "py/borrow.hpp"
#include "py/mutex.hpp"
#include "symbolic/momentary.hpp"

#include <pthread.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

namespace vesk::symbolic {

namespace {

struct Entry {
    PyObject* node;         // by identity; the claimer keeps it alive
    PyThreadState* owner;   // the claiming thread
    PyObject* destination;  // null for a claim that releases the node; kept alive as `node`
};

// A few claims at a time hash to one shard: a short vector is searched
// faster than any map. `count` mirrors the number of entries for readers
// that look only whether a node may be claimed (`claimed_destination`):
// written under the lock and read without it, both sequentially consistent,
// so of two writes that each claim a node and then look at the other's, at
// least one sees the other's claim.
struct alignas(64) Shard {
    py::SpinMutex mutex;
    std::atomic<std::size_t> count{0};
    std::vector<Entry> entries;
};

constexpr std::size_t kShards = 64;
std::array<Shard, kShards> SHARDS;

// In the child of a fork only the forking thread lives on: the claims of the
// others would stand for good (their writes stopped mid-way). The child keeps
// the forking thread's own claims alone. No shard lock can be held by a lost
// thread: a holder only loads and stores, so the fork waits for it to let go.
void restart_in_child() noexcept {
    PyThreadState* self = PyThreadState_GetUnchecked();
    for (Shard& shard : SHARDS) {
        std::erase_if(shard.entries, [self](const Entry& e) { return e.owner != self; });
        shard.count.store(shard.entries.size(), std::memory_order_seq_cst);
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

// How long a write waits for another write to let go of a node its slot
// still holds before it is refused: far longer than any detach takes, so a
// refusal means the two writes wait on each other (hooks writing back into
// each other's containers).
constexpr auto kWaitLimit = std::chrono::seconds(2);


}  // namespace

bool Claim::take(PyObject* node, PyObject* destination) {
    release();
    PyThreadState* self = PyThreadState_GetUnchecked();
    Shard& shard = shard_of(node);
    py::MutexLock lock(shard.mutex);
    if (Entry* e = find(shard, node)) return e->owner == self;
    shard.entries.push_back({node, self, destination});
    shard.count.store(shard.entries.size(), std::memory_order_seq_cst);
    node_ = node;
    return true;
}

int Claim::take_waiting(PyObject* node, PyObject* destination, int (*still)(void* ctx),
                        void* ctx) {
    if (take(node, destination)) return 1;
    const auto start = std::chrono::steady_clock::now();
    for (unsigned attempt = 0;; ++attempt) {
        const int waits = still(ctx);
        if (waits <= 0) return waits;
        if (std::chrono::steady_clock::now() - start > kWaitLimit) {
            py::raise_borrowed();
            return -1;
        }
        pause_for_retry(attempt);
        if (take(node, destination)) return 1;
    }
}

void Claim::release() noexcept {
    if (!node_) return;
    Shard& shard = shard_of(node_);
    py::MutexLock lock(shard.mutex);
    std::vector<Entry>& entries = shard.entries;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].node != node_) continue;
        entries[i] = entries.back();
        entries.pop_back();
        shard.count.store(entries.size(), std::memory_order_seq_cst);
        break;
    }
    node_ = nullptr;
}

py::Ref claimed_destination(PyObject* node) {
    Shard& shard = shard_of(node);
    if (shard.count.load(std::memory_order_seq_cst) == 0) return {};
    // A new reference, taken while the claim (which keeps it alive) stands.
    py::MutexLock lock(shard.mutex);
    const Entry* e = find(shard, node);
    return py::Ref::borrow(e ? e->destination : nullptr);
}

}  // namespace vesk::symbolic
