// The per-instance borrow flag guarding native state without waiting:
// readers share it, a writer takes it alone, and a conflicting request fails
// at once instead of blocking.
#pragma once

#include "py/python.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>

namespace vesk::py {

class BorrowFlag;

namespace fork_holds {

// The holds of one thread, so that the child of a fork keeps the forking
// thread's own and only those (borrow.cpp). Trivial, so the thread-local
// needs no initialisation check: every access is one thread-pointer-relative
// load.
struct HoldLog {
    BorrowFlag** items;
    std::uint32_t size;
    std::uint32_t capacity;
};
extern thread_local HoldLog t_log [[gnu::tls_model("initial-exec")]];
// Moved on in the child of every fork; read by every hold.
extern std::atomic<std::uint32_t> g_generation;

void grow(HoldLog& log) noexcept;

void unlogged_below_top(HoldLog& log, BorrowFlag* flag) noexcept;

inline void logged(BorrowFlag* flag) noexcept {
    HoldLog& log = t_log;
    if (log.size == log.capacity) [[unlikely]] {
        grow(log);
        if (log.size == log.capacity) return;  // out of memory: not logged
    }
    log.items[log.size++] = flag;
}
inline void unlogged(BorrowFlag* flag) noexcept {
    HoldLog& log = t_log;
    // Holds end in reverse order almost always: the top is the one.
    if (log.size && log.items[log.size - 1] == flag) [[likely]] {
        --log.size;
        return;
    }
    unlogged_below_top(log, flag);
}

}  // namespace fork_holds

// The state is one word: the fork generation in which the holds it counts
// were taken (high half), and the count (low half): shared holds count up, an
// exclusive hold is negative. In the child of a fork only the forking thread
// lives on: holds counted in an older generation belong to threads that are
// gone and count as released, except an exclusive hold of a change made in
// place (`kExclusive`), whose state may be half-written: that object stays
// refused. An exclusive hold whose writer replaces what it changes whole
// (`kExclusiveWhole`, see `mark_whole`) is released like a shared one. The
// forking thread's own holds are carried into the child's generation when it
// forks (borrow.cpp), so they still count.
class BorrowFlag {
public:
    static constexpr std::int32_t kExclusive = -1;
    static constexpr std::int32_t kExclusiveWhole = -2;

    // Taking a shared borrow is sequentially consistent, so a writer that
    // publishes a record and then finds the flag `unheld` knows that every
    // later reader sees its record (see `unheld`).
    [[nodiscard]] bool try_shared() noexcept {
        std::uint64_t cur = state_.load(std::memory_order_relaxed);
        const std::uint32_t g = generation();
        for (;;) {
            std::uint64_t next;
            if (gen_of(cur) == g) {
                if (count_of(cur) < 0) return false;
                next = cur + 1;
            } else {
                if (count_of(cur) == kExclusive) return false;
                next = make(g, 1);
            }
            if (state_.compare_exchange_weak(cur, next, std::memory_order_seq_cst,
                                             std::memory_order_relaxed)) {
                fork_holds::logged(this);
                return true;
            }
        }
    }
    void release_shared() noexcept {
        fork_holds::unlogged(this);
        state_.fetch_sub(1, std::memory_order_release);
    }

    [[nodiscard]] bool try_exclusive() noexcept {
        std::uint64_t cur = state_.load(std::memory_order_relaxed);
        const std::uint32_t g = generation();
        if (!free_in(cur, g)) return false;
        if (!state_.compare_exchange_strong(cur, make(g, kExclusive), std::memory_order_acquire,
                                            std::memory_order_relaxed))
            return false;
        fork_holds::logged(this);
        return true;
    }
    void release_exclusive() noexcept {
        fork_holds::unlogged(this);
        // Only the holder writes while the hold lasts.
        const std::uint64_t cur = state_.load(std::memory_order_relaxed);
        state_.store(make(gen_of(cur), 0), std::memory_order_release);
    }
    // Declares, while held exclusively, that the holder replaces what it
    // changes whole (a new record swapped in at the end, single stores): a
    // thread lost at a fork while holding it leaves the old state or the new
    // one, never a mix, so the child may go on.
    void mark_whole() noexcept {
        const std::uint64_t cur = state_.load(std::memory_order_relaxed);
        state_.store(make(gen_of(cur), kExclusiveWhole), std::memory_order_relaxed);
    }

    // Whether the calling thread holds this flag itself (its hold log says
    // so): a hold it asks for then can only be refused.
    [[nodiscard]] bool held_by_this_thread() const noexcept;

    [[nodiscard]] bool is_free() const noexcept {
        return free_in(state_.load(std::memory_order_acquire), generation());
    }
    // The same, sequentially consistent: after a sequentially consistent
    // store of a pointer, true means no holder can still be reading what the
    // pointer held before (every holder since took its borrow after the
    // store and reads the new value).
    [[nodiscard]] bool unheld() const noexcept {
        return free_in(state_.load(std::memory_order_seq_cst), generation());
    }

    // Whether shared holds other than the caller's one are taken now, seen
    // in one sequentially consistent read (a hold that a thread lost at a
    // fork does not count).
    [[nodiscard]] bool shared_by_others() const noexcept {
        const std::uint64_t cur = state_.load(std::memory_order_seq_cst);
        return gen_of(cur) == generation() && count_of(cur) > 1;
    }

    // In the child of a fork (borrow.cpp): the forking thread's own holds
    // recounted in generation `g`, in two passes over its log.
    void carry_into(std::uint32_t g) noexcept {
        const std::uint64_t cur = state_.load(std::memory_order_relaxed);
        if (gen_of(cur) == g) return;
        const std::int32_t n = count_of(cur);
        state_.store(make(g, n < 0 ? n : 0), std::memory_order_relaxed);
    }
    void count_carried() noexcept {
        const std::uint64_t cur = state_.load(std::memory_order_relaxed);
        if (count_of(cur) >= 0) state_.store(cur + 1, std::memory_order_relaxed);
    }

private:
    [[nodiscard]] static std::uint32_t generation() noexcept {
        return fork_holds::g_generation.load(std::memory_order_relaxed);
    }
    [[nodiscard]] static constexpr std::uint32_t gen_of(std::uint64_t s) noexcept {
        return static_cast<std::uint32_t>(s >> 32);
    }
    [[nodiscard]] static constexpr std::int32_t count_of(std::uint64_t s) noexcept {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(s));
    }
    [[nodiscard]] static constexpr std::uint64_t make(std::uint32_t g, std::int32_t n) noexcept {
        return std::uint64_t{g} << 32 | static_cast<std::uint32_t>(n);
    }
    [[nodiscard]] static constexpr bool free_in(std::uint64_t s, std::uint32_t g) noexcept {
        return gen_of(s) == g ? count_of(s) == 0 : count_of(s) != kExclusive;
    }

    std::atomic<std::uint64_t> state_{0};
};

// Far longer than any momentary hold: a hold, or a step refused one, that
// outlasts it meets a holder that does not let go, and is refused.
inline constexpr auto kMomentaryLimit = std::chrono::seconds(2);

// Lets other threads run before another try; the thread detaches from the
// interpreter while it waits, so that a holder the interpreter stops (or one
// waiting to attach again) is not kept from letting go. `attempt` counts
// the tries so far.
void pause_for_retry(unsigned attempt) noexcept;

// Takes the hold (exclusive or shared) once another thread's conflicting
// hold is let go, waiting it out for a bounded time, detached from the
// interpreter after the first tries: for a flag whose every hold lasts a
// few loads and stores (hold.hpp, `kMomentaryHolds`). False, without an
// exception, for a hold of the calling thread's own, or one that outlasts
// any momentary hold.
[[nodiscard]] bool wait_for_hold(BorrowFlag& flag, bool exclusive) noexcept;

// The refusals of a hold. Each is remembered, by identity only, as the
// thread's latest refusal, so a step that may meet another thread's
// momentary hold can tell the binding layer's own refusal from a
// RuntimeError that Python code raised with the same text.
void raise_mutably_borrowed() noexcept;
void raise_borrowed() noexcept;
// Whether `exc` is the latest refusal this thread raised.
[[nodiscard]] bool is_latest_refusal(PyObject* exc) noexcept;
// Whether `exc` reads as the borrow error: exactly a RuntimeError whose one
// argument is "Already borrowed" or "Already mutably borrowed".
[[nodiscard]] bool is_borrow_error(PyObject* exc) noexcept;

// The refusal of a write that meets another thread's write on a node it
// claims (symbolic/claim.hpp): the same error ("Already mutably borrowed"),
// remembered apart from the holds' own refusals, since it is neither a
// momentary hold to wait out nor an internal failure: it reaches the caller
// as it is, from a native type slot too.
void raise_claim_refused() noexcept;
// Whether `exc` is the latest claim refusal this thread raised.
[[nodiscard]] bool is_claim_refusal(PyObject* exc) noexcept;

// The refusal of a mutation that meets another holder, where the holder is
// typically the object's own operation calling back into Python.
inline constexpr const char kMutationRefused[] =
    "Cannot mutate this object while another operation holds it (e.g. a re-entrant call from "
    "`custom_apply` / a transform during its own `apply`): mutate it after `apply` returns.";
inline void raise_mutation_refused() { PyErr_SetString(PyExc_RuntimeError, kMutationRefused); }

// RAII borrows of a flag, for code that holds a bare flag. Declared types
// take their holds through hold.hpp instead. Usage:
//   SharedBorrow b(self->borrow);
//   if (!b.acquire()) return nullptr;            // raises "Already mutably borrowed"
//   if (!b.try_acquire()) return not_implemented();  // operator slots
class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag) noexcept : flag_(flag) {}
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() { if (held_) flag_.release_shared(); }

    [[nodiscard]] bool try_acquire() noexcept { return held_ = flag_.try_shared(); }
    [[nodiscard]] bool acquire() noexcept {
        if (try_acquire()) return true;
        raise_mutably_borrowed();
        return false;
    }

private:
    BorrowFlag& flag_;
    bool held_ = false;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag) noexcept : flag_(flag) {}
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() { if (held_) flag_.release_exclusive(); }

    [[nodiscard]] bool try_acquire() noexcept { return held_ = flag_.try_exclusive(); }
    [[nodiscard]] bool acquire() noexcept {
        if (try_acquire()) return true;
        raise_borrowed();
        return false;
    }

private:
    BorrowFlag& flag_;
    bool held_ = false;
};

}  // namespace vesk::py
