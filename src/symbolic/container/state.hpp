// The native state of the symbolic containers. `SymDict` and `SymList`
// extend the built-in dict and list, whose storage holds their members, and
// keep the same state after it: the node state, the bound value spec, the
// change callback, the default assign policy and their flags. One template
// serves both, so the topology surface is written once over them.
//
// The state is read under the instance's shared hold and written under its
// exclusive hold; no hold is kept while Python code runs.
#pragma once

#include "py/held_slot.hpp"
#include "py/layout.hpp"
#include "symbolic/node.hpp"
#include "typing/field/field_meta.hpp"
#include "typing/published_slot.hpp"

#include <atomic>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <vector>

namespace vesk::symbolic {

namespace list {
struct InFlight;
}

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

    template <class V>
    void visit(V&& v) const {
        v(spec);
        v(element);
    }
};

// Where a list keeps its facts: published without its exclusive hold, so a
// write that refreshes them never refuses another thread's write; a record
// replaced is freed once no read section that may have found it is open
// (typing/field/meta_epoch.hpp), so a write reads the spec and the element
// field through the record for its whole span, with no new reference to
// either (objects every thread's lists of one spec share).
using ListFactsSlot = typing::field::PublishedSlot<ListSpecFacts>;

struct NoSpecFacts {
    template <class V>
    void visit(V&&) {}
};

// Whether the interpreter's own sort runs over a list now, and which
// thread's element pass holds a container's members in place (sorting.hpp).
// Read and written under the container's critical section, never under a
// hold: the sort's key function and the pass's applies may read the
// container's state.
struct SortMark {
    // 0 free, kSorting while a sort runs, else the thread state of the pass.
    static constexpr std::uintptr_t kSorting = 1;
    std::atomic<std::uintptr_t> held{0};
};

template <class Base>
struct ContainerState {
    using Extends = Base;
    // Every hold of the State lasts a few loads and stores: a read that
    // meets another thread's seal, flag or placement storing at that moment
    // waits it out rather than failing (py/hold.hpp).
    static constexpr bool kMomentaryHolds = true;

    SymNode node;
    py::Ref value_spec;         // the bound Dict / List spec, or null
    py::Ref assign;             // the default assign policy (a str), or null
    py::Ref onchange_callback;  // kept and shown; never called natively
    // How many times what a write checks its value and its permission
    // against has changed (`spec_replaced`): the bound spec, the node's
    // allow_partial and sealed flags as an apply or a seal sets them. A
    // write that read them compares the count where it stores, so it never
    // stores a value checked by a field the container no longer binds, under
    // a flag it no longer has, or into a container sealed since. Relaxed: a
    // plain store compares it in the storage's critical section, which
    // orders it against the change's own section; a claimed write, under
    // the holds that order every other reading.
    std::atomic<std::uint32_t> rebinds{0};
    // A member was stored under the thread's allow_partial scope while the
    // node's own flag refused partial values: the members are not known to
    // pass the bound spec under the node's own flag, so an apply under that
    // flag checks them again (container/binding.hpp, `custom_apply`).
    std::atomic<bool> loosened{false};
    // The dictionary holds a symbolic object's fields: its children get the
    // object (the node's parent) as their parent. Always false for a list.
    bool as_object_attributes_container = false;
    bool wrap = true;         // raw dict and list members are wrapped
    bool enable_topo = true;  // members are adopted with parent and path
    // A list's published spec readings.
    [[no_unique_address]] std::conditional_t<std::is_same_v<Base, py::ListBase>, ListFactsSlot,
                                             NoSpecFacts>
        spec_facts;
    SortMark sorting;
    // A list's: how many claims of its positions are held now (claim.hpp,
    // `positions`). A plain store reads it in the list's critical section
    // and claims its slot when it is not 0.
    std::atomic<std::uint32_t> positions_held{0};
    // A list's: the rooms under its size bound that writes adding several
    // items keep for those still to land (list/list_ops.hpp, Rooms). Read
    // and written in the list's critical section.
    Py_ssize_t rooms_kept = 0;
    // A list's: the batch writes under way on it that may take their stores
    // back by position (list/list_ops.hpp, InFlight), most recent first.
    // Read and written in the list's critical section.
    list::InFlight* in_flight = nullptr;

    // Under the exclusive hold that replaced `value_spec` (every writer of
    // the count holds it).
    void spec_replaced() noexcept {
        rebinds.store(rebinds.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    [[nodiscard]] std::uint32_t binding() const noexcept {
        return rebinds.load(std::memory_order_relaxed);
    }

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
