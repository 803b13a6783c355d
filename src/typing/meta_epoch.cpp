#include "typing/meta_epoch.hpp"

#include "py/python.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <vector>

namespace vesk::typing::field {

namespace {

// The epoch starts at 1, so a slot of 0 always means "outside".
std::atomic<std::uint64_t> g_epoch{1};

struct ThreadSlot;

// Every thread that has entered a section, until it exits.
struct Registry {
    std::mutex mutex;
    std::vector<ThreadSlot*> slots;
};

// This thread's slot while it is registered: for the child of a fork, and
// the sections' quick way to it (a trivial thread-local of the initial-exec
// model is one load off the thread pointer; the slot itself, which registers
// and unregisters, costs a guard check and a call to find).
[[gnu::tls_model("initial-exec")]] thread_local ThreadSlot* t_slot = nullptr;

std::atomic<Registry*> g_registry{nullptr};

// In the child of a fork only the forking thread lives on. The slots of the
// others would read as sections that never end (a thread stopped inside one
// when the process forked), so no record retired in the child could ever be
// freed; and the lock may have been held by a thread that is gone. The child
// starts a registry of its own with the forking thread's slot alone; the old
// one is left as it is (never freed: its lock may be held).
void restart_in_child() noexcept {
    Registry* fresh = new (std::nothrow) Registry;
    if (!fresh) return;  // the old registry stays: records only wait longer
    if (t_slot) {
        try {
            fresh->slots.push_back(t_slot);
        } catch (...) {
            delete fresh;
            return;
        }
    }
    g_registry.store(fresh, std::memory_order_seq_cst);
}

Registry& the_registry() noexcept {
    static Registry* first = [] {
        auto* r = new Registry;
        g_registry.store(r, std::memory_order_seq_cst);
        (void)pthread_atfork(nullptr, nullptr, restart_in_child);
        return r;
    }();
    (void)first;
    return *g_registry.load(std::memory_order_seq_cst);
}

struct ThreadSlot {
    std::atomic<std::uint64_t> epoch{0};
    unsigned depth = 0;

    ThreadSlot() {
        Registry& r = the_registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.slots.push_back(this);
        t_slot = this;
    }
    ~ThreadSlot() {
        t_slot = nullptr;
        Registry& r = the_registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        for (auto it = r.slots.begin(); it != r.slots.end(); ++it)
            if (*it == this) {
                r.slots.erase(it);
                break;
            }
    }
};

ThreadSlot& this_thread() {
    if (ThreadSlot* registered = t_slot) return *registered;
    thread_local ThreadSlot slot;
    return slot;
}

}  // namespace

namespace {

// Records retired with their epoch. Retirement is rare (an owner that dies or
// replaces its record), so one list and its small lock serve all.
struct Kept {
    std::unique_ptr<Retired> record;
    std::uint64_t epoch;
};
std::mutex g_kept_mutex;
std::vector<Kept>* g_kept = nullptr;  // never freed: a record may outlive the module's teardown
// The newest epoch a record waiting there was retired in (0: none waits). A
// section that began before it may be what holds one back: when it ends, it
// frees those whose time has come. Any later section holds none back.
std::atomic<std::uint64_t> g_kept_newest{0};

void free_retired_in_time() noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    retire_later(nullptr, 0);
    PyErr_SetRaisedException(pending);
}

}  // namespace

// With the global lock no reader runs beside a writer: every hand-over of
// the lock orders what one thread did before what the next one does, so a
// section's entry needs no fence of its own (a sequentially consistent
// store is a locked exchange, paid by every write).
#ifdef Py_GIL_DISABLED
constexpr std::memory_order kEnterOrder = std::memory_order_seq_cst;
#else
constexpr std::memory_order kEnterOrder = std::memory_order_relaxed;
#endif

ReadSection::ReadSection() noexcept {
    ThreadSlot& t = this_thread();
    if (t.depth++ == 0) t.epoch.store(g_epoch.load(kEnterOrder), kEnterOrder);
}

ReadSection::~ReadSection() {
    ThreadSlot& t = this_thread();
    // A release store is enough on leaving: a writer that reads the zero
    // (with a sequentially consistent load, which acquires) sees every use
    // this section made of a record before it frees one. Entering must be
    // sequentially consistent (meta_epoch.hpp); leaving, the cheaper store
    // is a plain one on the usual hardware.
    if (--t.depth == 0) {
        const std::uint64_t began = t.epoch.load(std::memory_order_relaxed);
        t.epoch.store(0, std::memory_order_release);
        if (began < g_kept_newest.load(std::memory_order_relaxed)) free_retired_in_time();
    }
}

void retire_later(std::unique_ptr<Retired> record, std::uint64_t epoch) noexcept {
    std::vector<std::unique_ptr<Retired>> freed;  // released after the lock
    try {
        std::lock_guard<std::mutex> lock(g_kept_mutex);
        if (!g_kept) g_kept = new std::vector<Kept>;
        if (record) {
            // Room first: the record is moved only once nothing can throw.
            g_kept->reserve(g_kept->size() + 1);
            g_kept->push_back({std::move(record), epoch});
        }
        const std::uint64_t oldest = oldest_section();
        std::uint64_t newest = 0;
        for (std::size_t i = 0; i < g_kept->size();) {
            Kept& k = (*g_kept)[i];
            if (k.epoch <= oldest) {
                freed.push_back(std::move(k.record));
                k = std::move(g_kept->back());
                g_kept->pop_back();
            } else {
                newest = std::max(newest, k.epoch);
                ++i;
            }
        }
        g_kept_newest.store(newest, std::memory_order_relaxed);
    } catch (...) {
        // Out of memory: kept for good rather than freed under a reader.
        (void)record.release();
    }
}

std::uint64_t retire_epoch() noexcept {
    return g_epoch.fetch_add(1, std::memory_order_seq_cst) + 1;
}

bool retired_before_every_reader(std::uint64_t epoch) noexcept {
    Registry& r = the_registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (const ThreadSlot* t : r.slots) {
        const std::uint64_t seen = t->epoch.load(std::memory_order_seq_cst);
        if (seen != 0 && seen < epoch) return false;
    }
    return true;
}

}  // namespace vesk::typing::field

namespace vesk::typing::field {

std::uint64_t oldest_section() noexcept {
    Registry& r = the_registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::uint64_t oldest = UINT64_MAX;
    for (const ThreadSlot* t : r.slots) {
        const std::uint64_t seen = t->epoch.load(std::memory_order_seq_cst);
        if (seen != 0 && seen < oldest) oldest = seen;
    }
    return oldest;
}

}  // namespace vesk::typing::field
