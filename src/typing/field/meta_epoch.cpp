#include "typing/field/meta_epoch.hpp"


#include <atomic>
#include <mutex>
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

Registry& the_registry() noexcept {
    static Registry* r = new Registry;
    return *r;
}

struct ThreadSlot {
    std::atomic<std::uint64_t> epoch{0};
    unsigned depth = 0;

    ThreadSlot() {
        Registry& r = the_registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.slots.push_back(this);
    }
    ~ThreadSlot() {
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
    thread_local ThreadSlot slot;
    return slot;
}

}  // namespace

ReadSection::ReadSection() noexcept {
    ThreadSlot& t = this_thread();
    if (t.depth++ == 0) t.epoch.store(g_epoch.load(std::memory_order_seq_cst),
                                      std::memory_order_seq_cst);
}

ReadSection::~ReadSection() {
    ThreadSlot& t = this_thread();
    if (--t.depth == 0) t.epoch.store(0, std::memory_order_seq_cst);
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
