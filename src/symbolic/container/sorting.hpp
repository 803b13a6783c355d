// A list held whole by one operation while Python code runs over it.
//
// A sort: the interpreter's sort takes the items out of the list's storage
// while it runs (its key function may run any Python code, and other
// threads see the list empty meanwhile) and puts back what it sorted at the
// end, so an item stored into the list meanwhile would be lost, a removal
// would find nothing, and a sort would refuse to finish. A sort marks its
// list for its whole run, and every write checks the mark under the list's
// lock before it reads or stores: a write that meets a sort fails at once
// with the borrow flag's refusal, having changed nothing. The sort also
// claims the list (claim.hpp) before it marks it, against every write into
// the list: one under way refuses the sort, and one that would run Python
// code before its store (a child's hooks) meets the sort at its claim,
// before its first effect, rather than at its store.
//
// An element pass: a spec applied to a symbolic list reads its members by
// index and writes each applied one back at its index, running Python code
// between (the element applies). An insertion or removal by another thread
// meanwhile would move the members under it: a write-back would land over
// another member, one member would be applied twice and another never. So
// the pass holds the list for its run (container/pass_log.hpp): other
// threads' writes meet the mark as they meet a sort's and fail at once,
// having changed nothing, while the pass's own thread writes its members
// back (and re-enters its own passes). A write of the pass's own thread
// that is not one of those write-backs (an element's transform inserting
// into the list) would move them the same way: it is refused at its start
// too (`refused_at_entry`). A dictionary's pass holds it alike, so that a
// write-back never lands over another thread's newer write or brings back
// a key another thread removed. Reads go on.
#pragma once

#include "py/layout.hpp"
#include "py/write_span.hpp"
#include "symbolic/claim.hpp"
#include "symbolic/container/state.hpp"
#include "symbolic/slots.hpp"

#include <type_traits>

namespace vesk::symbolic {

// Whether a sort runs over the list now, with the refusal raised: a read
// of the storage asks it, which a sort has emptied meanwhile.
[[nodiscard]] inline bool refused_by_sort(PyObject* list) noexcept {
    if (py::state<ListState>(list).sorting.held.load(std::memory_order_relaxed) !=
        SortMark::kSorting)
        return false;
    py::raise_mutably_borrowed();
    return true;
}

// Whether a write must not touch the container now: a sort runs over it,
// or another thread's element pass holds it, or (a list) a construction of
// this thread keeps it closed (py/write_span.hpp; a dictionary's writes ask
// that as they begin); with the refusal raised. Under the container's
// critical section where the answer must hold for a store made in it; a
// write also asks first, without it, so that it fails at once rather than
// on what the emptied list shows it.
template <class S = ListState>
[[nodiscard]] inline bool refused_for_write(PyObject* container) noexcept {
    if constexpr (std::is_same_v<S, ListState>)
        if (py::refused_by_span(container)) return true;
    const std::uintptr_t held =
        py::state<S>(container).sorting.held.load(std::memory_order_relaxed);
    if (!held || held == reinterpret_cast<std::uintptr_t>(PyThreadState_GetUnchecked()))
        return false;
    py::raise_mutably_borrowed();
    return true;
}

// The test a write makes as it begins: refused as `refused_for_write` is,
// and also while the calling thread's own pass holds the container, unless
// the write is that pass writing a member back (`write_back`: the write the
// spec engine named, typing/applied_members.hpp). Without the critical
// section: the pass's own thread cannot change the mark meanwhile, and
// another thread's mark is met again where the write stores.
template <class S = ListState>
[[nodiscard]] inline bool refused_at_entry(PyObject* container, bool write_back = false) noexcept {
    if constexpr (std::is_same_v<S, ListState>)
        if (py::refused_by_span(container)) return true;
    const std::uintptr_t held =
        py::state<S>(container).sorting.held.load(std::memory_order_relaxed);
    if (!held ||
        (write_back && held == reinterpret_cast<std::uintptr_t>(PyThreadState_GetUnchecked())))
        return false;
    py::raise_mutably_borrowed();
    return true;
}

// Marks the list for a sort: false with the refusal when one runs already,
// or a pass holds it (one of this thread's own too: the sort would move the
// members it writes back by index). Under the list's critical section.
[[nodiscard]] inline bool begin_sort(PyObject* list) noexcept {
    std::atomic<std::uintptr_t>& mark = py::state<ListState>(list).sorting.held;
    if (mark.load(std::memory_order_relaxed)) {
        py::raise_mutably_borrowed();
        return false;
    }
    mark.store(SortMark::kSorting, std::memory_order_relaxed);
    return true;
}

// Under the list's critical section.
inline void end_sort(PyObject* list) noexcept {
    py::state<ListState>(list).sorting.held.store(0, std::memory_order_relaxed);
}

// How an element pass meets the list's mark.
enum class PassMark : unsigned char { Refused, Taken, Mine };

// Marks the container as held by the calling thread's element pass: Taken,
// or Mine when one of its own passes holds it already (that one lets it go);
// Refused, with the refusal raised, while a sort runs or another thread's
// pass holds it. Under the container's critical section.
template <class S = ListState>
[[nodiscard]] inline PassMark begin_member_pass(PyObject* container) noexcept {
    std::atomic<std::uintptr_t>& mark = py::state<S>(container).sorting.held;
    const auto self = reinterpret_cast<std::uintptr_t>(PyThreadState_GetUnchecked());
    const std::uintptr_t held = mark.load(std::memory_order_relaxed);
    if (held == self) return PassMark::Mine;
    if (held) {
        py::raise_mutably_borrowed();
        return PassMark::Refused;
    }
    mark.store(self, std::memory_order_relaxed);
    return PassMark::Taken;
}

// Under the container's critical section, by the pass that took the mark.
template <class S = ListState>
inline void end_member_pass(PyObject* container) noexcept {
    py::state<S>(container).sorting.held.store(0, std::memory_order_relaxed);
}

// What holds a container whole (a pass, a construction, a rebuild) takes:
// its exclusive claim in `scope` (claim.hpp), then its mark. Refused, with
// the refusal raised, when either is; Taken is let go by `release_mark`.
template <class S = ListState>
[[nodiscard]] inline PassMark claim_and_mark(ClaimScope& scope, PyObject* container) {
    if (scope.exclusive(container) < 0) return PassMark::Refused;
    py::CriticalSection guard(container);
    return begin_member_pass<S>(container);
}

template <class S = ListState>
inline void release_mark(PyObject* container) noexcept {
    py::CriticalSection guard(container);
    end_member_pass<S>(container);
}

// The list's length, read in one critical section with the marks, so that a
// write meeting a sort fails with the refusal rather than with what the
// emptied list shows it. -1 with the refusal.
[[nodiscard]] inline Py_ssize_t length_unless_held(PyObject* list) noexcept {
    py::CriticalSection section(list);
    if (refused_for_write(list)) return -1;
    return PyList_GET_SIZE(list);
}

// The item at `index` (negative: from the end) and its position, read in
// one critical section with the list's length and its marks, so that
// an index from the end names the item that is last when it is read, not
// one another thread's insertion or removal moved there since. 1 found; 0
// out of range, with the length in `n`; -1 with the refusal.
[[nodiscard]] inline int item_at_index(PyObject* list, std::int64_t index, Py_ssize_t& n,
                                       Py_ssize_t& pos, py::Ref& item) noexcept {
    py::CriticalSection section(list);
    if (refused_for_write(list)) return -1;
    n = PyList_GET_SIZE(list);
    if (index < -n || index >= n) return 0;
    pos = static_cast<Py_ssize_t>(index < 0 ? index + n : index);
    item = py::Ref::borrow(PyList_GET_ITEM(list, pos));
    return 1;
}

// The list's conditional store (slots.hpp), refused while the list is held.
[[nodiscard]] inline StoreOutcome sym_list_store_if(PyObject* storage, SlotKey slot,
                                                    PyObject* expected, PyObject* value,
                                                    py::Ref& now) {
    py::CriticalSection section(storage);
    if (refused_for_write(storage)) return StoreOutcome::Error;
    return list_store_locked(storage, slot, expected, value, now);
}

}  // namespace vesk::symbolic
