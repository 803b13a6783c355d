// PublishedSlot: one cached, immutable record that readers take with one
// atomic load and writers replace whole; see the class comment.
#pragma once

#include "py/mutex.hpp"
#include "py/record.hpp"
#include "typing/meta_epoch.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

namespace vesk::py::detail {
struct GcClearer;  // the collector's clear (py/type.hpp)
}  // namespace vesk::py::detail

namespace vesk::typing::field {

// A cached immutable record, read with one atomic load: a field's compiled
// record (MetaSlot), a spec's compiled acceptance rule.
//
// Publication. A built record goes into a node that the slot owns, and the
// node's address is stored into `current_`; a reader loads it (see `peek`
// for the order) and uses the record in place: no lock, no hold of the owner, no
// change to any shared count. An invalidation stores null; the next reader
// builds a record and publishes a new node. Records never change, so the
// later store simply wins.
//
// Reclamation. A reader may still be using a record that a change just
// unpublished; readers borrow records only inside a `ReadSection`
// (meta_epoch.hpp). An unpublished node is tagged with the epoch of its
// retirement and freed by a later write to the slot once no thread's section
// began before it. When the owner dies, or the collector clears it, its
// nodes go to the process's retired records (`retire_later`) and are freed
// there on the same terms: a reader that borrowed a record may outlive the
// owner it found it in.
//
// Writers (publish, invalidate) take the small lock, which only orders them
// and guards `nodes_`; they never release a record under it. The cycle
// collector (which runs with every other thread stopped) sees each record
// through its node, counted while the node is its only holder. A copied
// slot starts empty: a cache is not part of what its owner declares.
template <class T>
class PublishedSlot {
public:
    using Pointer = std::shared_ptr<const T>;

    PublishedSlot() noexcept = default;
    PublishedSlot(const PublishedSlot&) noexcept {}
    PublishedSlot& operator=(const PublishedSlot&) noexcept { return *this; }
    ~PublishedSlot() { retire_all(); }

    // The published record, borrowed from the slot (valid while the caller
    // stays in its ReadSection), or null. One atomic load.
    //
    // The load is sequentially consistent, not merely acquire: it must not
    // be satisfied before the store that announced the reader's section
    // (meta_epoch.cpp) is seen, or a writer could scan the reader's slot as
    // outside, free the node, and the reader use the node it loaded. An
    // acquire load may be (hardware with weaker acquire loads does so); on
    // the usual hardware both compile to the same plain load.
    [[nodiscard]] const T* peek() const noexcept {
        const Node* n = current_.load(std::memory_order_seq_cst);
        return n ? n->record.operator->() : nullptr;
    }
    // Whether no record is published (one atomic load; nothing is read
    // through the pointer, so no ReadSection is needed).
    [[nodiscard]] bool empty() const noexcept {
        return current_.load(std::memory_order_acquire) == nullptr;
    }
    // The published record for a new holder, or null.
    // Sequentially consistent for the reason `peek` gives.
    [[nodiscard]] Pointer load() const noexcept {
        const Node* n = current_.load(std::memory_order_seq_cst);
        return n ? n->record.get() : nullptr;
    }
    // The number of invalidations so far; a record built from state read
    // after this value is current only if it has not moved on.
    [[nodiscard]] std::uint64_t generation() const noexcept {
        return generation_.load(std::memory_order_acquire);
    }
    // Moves the generation on without unpublishing: the owner changed in a
    // way a record holder may need to see (the record itself is dropped by
    // `take` where the change feeds it).
    void bump() const noexcept { generation_.fetch_add(1, std::memory_order_relaxed); }
    // Publishes `m` unless the owner changed since `generation` was read, so
    // a build that raced a change never outlives it. Whether it was published.
    bool store(const Pointer& m, std::uint64_t generation) const {
        auto node = std::make_unique<Node>();
        node->record = m;
        std::vector<std::unique_ptr<Node>> freed;
        bool published = false;
        {
            py::MutexLock lock(mutex_);
            if (generation == generation_.load(std::memory_order_relaxed)) {
                // A record it replaces is retired as an invalidation would,
                // so it is freed once no reader can hold it, not kept until
                // the owner goes.
                const Node* was = current_.exchange(node.get(), std::memory_order_seq_cst);
                if (was) const_cast<Node*>(was)->retired_at = retire_epoch();
                nodes_.push_back(std::move(node));
                published = true;
            }
            collect(freed);
        }
        return published;  // `freed` is released here, after the lock
    }
    // Unpublishes the record, and frees those no reader can still hold.
    void take() const noexcept {
        std::vector<std::unique_ptr<Node>> freed;
        {
            py::MutexLock lock(mutex_);
            generation_.fetch_add(1, std::memory_order_relaxed);
            const Node* was = current_.exchange(nullptr, std::memory_order_seq_cst);
            if (was) const_cast<Node*>(was)->retired_at = retire_epoch();
            collect(freed);
        }
    }

    // Every record the slot holds, for the cycle collector. Clearing
    // unpublishes them all and retires them as the owner's death does.
    template <class V>
    void visit(V&& v) {
        if constexpr (std::is_same_v<std::remove_cvref_t<V>, py::detail::GcClearer>) {
            retire_all();
        } else {
            for (const std::unique_ptr<Node>& n : nodes_) v(n->record);
        }
    }

private:
    struct Node final : Retired {
        py::SharedRecord<T> record;
        std::uint64_t retired_at = 0;  // 0 while published
    };
    // Hands every node to the retired records, the published one retired now.
    void retire_all() noexcept {
        std::vector<std::unique_ptr<Node>> nodes;
        {
            py::MutexLock lock(mutex_);
            generation_.fetch_add(1, std::memory_order_relaxed);
            current_.store(nullptr, std::memory_order_seq_cst);
            nodes.swap(nodes_);
        }
        std::uint64_t now = 0;
        for (std::unique_ptr<Node>& n : nodes) {
            if (!n->retired_at) n->retired_at = now ? now : (now = retire_epoch());
            const std::uint64_t at = n->retired_at;
            retire_later(std::move(n), at);
        }
    }
    // Moves out the unpublished nodes no reader can hold (under the lock).
    void collect(std::vector<std::unique_ptr<Node>>& out) const noexcept {
        std::uint64_t oldest = 0;  // looked up once, when a node is retired
        for (std::size_t i = 0; i < nodes_.size();) {
            const std::uint64_t at = nodes_[i]->retired_at;
            if (at && !oldest) oldest = oldest_section();
            if (at && at <= oldest) {
                try {
                    out.push_back(std::move(nodes_[i]));
                } catch (...) {
                    return;  // out of memory: the node waits for a later write
                }
                nodes_[i] = std::move(nodes_.back());
                nodes_.pop_back();
            } else {
                ++i;
            }
        }
    }
    mutable std::atomic<const Node*> current_{nullptr};
    mutable std::atomic<std::uint64_t> generation_{0};
    mutable py::SpinMutex mutex_;
    mutable std::vector<std::unique_ptr<Node>> nodes_;
};

}  // namespace vesk::typing::field
