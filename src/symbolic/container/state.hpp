// The native state of the symbolic containers. `SymDict` and `SymList`
// extend the built-in dict and list, whose storage holds their members, and
// keep the same state after it: the node state, the bound value spec, the
// change callback, the default assign policy and their flags. One template
// serves both, so the topology surface is written once over them.
//
// The state is read under the instance's shared hold and written under its
// exclusive hold; no hold is kept while Python code runs.
#pragma once

#include "py/borrow.hpp"
#include "py/layout.hpp"
#include "py/mutex.hpp"
#include "symbolic/node.hpp"
#include "typing/field/field_meta.hpp"

#include <atomic>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <vector>

namespace vesk::symbolic {

// What a list's writes read of its bound native List spec, derived once and
// used while no typing state anywhere has changed since (the process-wide
// change epoch, typing/change_epoch.hpp, still reads `epoch`), so a write
// of a primitive item takes no hold of the spec and borrows no field record.
// A record is immutable once published.
struct ListSpecFacts {
    std::uint64_t epoch = 0;  // the epoch read before deriving them
    py::Ref spec;             // the spec they describe
    py::Ref element;          // its element field
    std::optional<std::int64_t> min_size;
    std::optional<std::int64_t> max_size;
    // The element's compiled record; null when the element is no native
    // Field.
    typing::field::FieldMetaRef element_meta;
};

// Where a list publishes its facts without taking its exclusive hold, so a
// write that refreshes them never refuses another thread's write. Readers
// load `current` under the list's shared hold; a publisher swaps it and
// frees the record it replaced once the list's borrow flag shows no holder
// (py::BorrowFlag::unheld), else keeps it in `retired` until then.
class ListFactsSlot {
public:
    ListFactsSlot() noexcept = default;
    ListFactsSlot(const ListFactsSlot&) = delete;
    ListFactsSlot& operator=(const ListFactsSlot&) = delete;
    ~ListFactsSlot() {
        delete current_.load(std::memory_order_relaxed);
        for (ListSpecFacts* r : retired_) delete r;
    }

    // The published record or null; read under the list's shared hold.
    [[nodiscard]] const ListSpecFacts* get() const noexcept {
        return current_.load(std::memory_order_seq_cst);
    }

    // Publishes `fresh`; the records no reader can hold any more come back
    // in `freed`, to be deleted by the caller outside every hold and lock
    // (their release may run finalisers).
    void publish(ListSpecFacts* fresh, const py::BorrowFlag& flag,
                 std::vector<ListSpecFacts*>& freed) {
        ListSpecFacts* old = current_.exchange(fresh, std::memory_order_seq_cst);
        const bool unheld = flag.unheld();
        py::MutexLock lock(mutex_);
        if (old) retired_.push_back(old);
        if (unheld) freed.swap(retired_);
    }

    template <class V>
    void visit(V&& v) {
        if (ListSpecFacts* f = current_.load(std::memory_order_relaxed)) {
            v(f->spec);
            v(f->element);
        }
        for (ListSpecFacts* r : retired_) {
            v(r->spec);
            v(r->element);
        }
    }

private:
    std::atomic<ListSpecFacts*> current_{nullptr};
    py::SpinMutex mutex_;  // guards `retired_`
    std::vector<ListSpecFacts*> retired_;
};

struct NoSpecFacts {
    template <class V>
    void visit(V&&) {}
};

template <class Base>
struct ContainerState {
    using Extends = Base;

    SymNode node;
    py::Ref value_spec;         // the bound Dict / List spec, or null
    py::Ref assign;             // the default assign policy (a str), or null
    py::Ref onchange_callback;  // kept and shown; never called natively
    // The dictionary holds a symbolic object's fields: its children get the
    // object (the node's parent) as their parent. Always false for a list.
    bool as_object_attributes_container = false;
    bool wrap = true;         // raw dict and list members are wrapped
    bool enable_topo = true;  // members are adopted with parent and path
    // A list's published spec readings.
    [[no_unique_address]] std::conditional_t<std::is_same_v<Base, py::ListBase>, ListFactsSlot,
                                             NoSpecFacts>
        spec_facts;

    template <class V>
    void visit(V&& v) {
        node.visit(v);
        v(value_spec);
        v(onchange_callback);
        v(assign);
        spec_facts.visit(v);
    }
};

using DictState = ContainerState<py::DictBase>;
using ListState = ContainerState<py::ListBase>;

}  // namespace vesk::symbolic
