// Holds on a native instance's State, taken by the binding layer.
//
// A function that reads or writes the State of its receiver declares the
// hold it needs by its first parameter. The table entries (py::method,
// py::getter, py::slot, ... in methods.hpp) read that parameter at compile
// time, take the hold before the call and hand the function the held State,
// so a function registered with a hold cannot reach the State without it:
//
//   const py::Shared<S>&     a shared hold for the whole call; `self->m` is const
//   const py::Exclusive<S>&  an exclusive hold for the whole call; `self->m` is writable
//   py::Scoped<S>            no hold yet: the function takes each one itself as a
//                            guard (`self.shared()`, `self.exclusive()`) that hands
//                            out the State for the guard's lifetime, so two reads
//                            stay separate, or a write ends before Python code runs
//
// The same guards hold any other instance the function reaches
// (`py::Shared<S> theirs(other);`, after a type check). Nothing waits for
// long: a hold that meets a conflicting one is refused at once (a State of
// momentary holds waits a bounded time first, below), and the second
// argument of Shared / Exclusive (or of `shared<>()` / `exclusive<>()`)
// chooses what a refusal does:
//
//   py::Refuse::Borrow          RuntimeError "Already mutably borrowed" for a
//                               shared hold, "Already borrowed" for an exclusive one
//   py::Refuse::Mutation        RuntimeError py::kMutationRefused (borrow.hpp)
//   py::Refuse::NotImplemented  no exception: the call answers NotImplemented
//                               (rich comparisons, operator slots)
//
// A refused guard converts to false; `return hold.refusal();` then answers
// null (an exception is set) or NotImplemented, as its policy says.
//
// A State whose every hold lasts a few loads and stores, never across Python
// code, may declare `static constexpr bool kMomentaryHolds = true;`: a hold
// of it that meets another thread's then waits that one out (for a bounded
// time, borrow.hpp `wait_for_hold`) rather than being refused at once, so a
// read never fails because a write of another thread stores at that very
// moment. A hold of the calling thread's own, or one that outlasts the
// bound, is refused as any other.
//
// A State that must know when it may have changed declares
// `void changed() noexcept`: every exclusive hold of it calls it as the hold
// ends, still held (a cache dropped, a version moved on), so no writer can
// forget to. For example:
//
//   PyObject* min_value(const py::Shared<Range>& self) {
//       return PyLong_FromLongLong(self->min);
//   }
//   int set_min(const py::Exclusive<Range, py::Refuse::Mutation>& self, PyObject* v) {
//       return py::arg_i64("value", v, self->min) ? 0 : -1;
//   }
//   PyObject* compare(const py::Shared<Range, py::Refuse::NotImplemented>& self,
//                     PyObject* other, int op);
//   PyObject* widen(py::Scoped<Range> self, PyObject* arg) {
//       {
//           auto w = self.exclusive();
//           if (!w) return w.refusal();
//           w->max = ...;
//       }                       // released here, before any Python code runs
//       return PyObject_Repr(self.object());
//   }
//   PyGetSetDef getters[] = {py::getter<min_value, set_min>("min"), py::kGettersEnd};
//   py::slot<Py_tp_richcompare, compare>()
#pragma once

#include "py/entry.hpp"
#include "py/layout.hpp"

#include <cstdint>
#include <type_traits>

namespace vesk::py {

enum class Refuse : std::uint8_t { Borrow, Mutation, NotImplemented };

namespace detail {

template <Refuse R>
void raise_refusal(bool exclusive) noexcept {
    if constexpr (R == Refuse::Borrow) {
        if (exclusive)
            raise_borrowed();
        else
            raise_mutably_borrowed();
    } else if constexpr (R == Refuse::Mutation) {
        raise_mutation_refused();
    }
}

// Whether a State's holds wait out another thread's momentary one.
template <class State>
inline constexpr bool kWaitsOut = false;
template <class State>
    requires(State::kMomentaryHolds)
inline constexpr bool kWaitsOut<State> = true;

// What a function of return type `Ret` answers for a refused hold.
template <Refuse R, class Ret>
[[nodiscard]] Ret refusal_value() noexcept {
    if constexpr (R == Refuse::NotImplemented) {
        static_assert(std::is_same_v<Ret, PyObject*>,
                      "only a function returning an object can answer NotImplemented");
        return not_implemented();
    } else {
        return failure_value<Ret>();
    }
}

}  // namespace detail

// A hold of one instance's State, shared or exclusive, for the guard's
// lifetime (or until `release`). Use the names Shared and Exclusive.
template <class State, Refuse R, bool IsExclusive>
class Hold {
public:
    using Access = std::conditional_t<IsExclusive, State, const State>;

    // `obj` must be an instance of a type declared with State.
    explicit Hold(PyObject* obj) noexcept : obj_(obj) {
        BorrowFlag& flag = borrow_flag<State>(obj);
        held_ = IsExclusive ? flag.try_exclusive() : flag.try_shared();
        if (!held_) [[unlikely]] {
            if constexpr (detail::kWaitsOut<State>) held_ = wait_for_hold(flag, IsExclusive);
            if (!held_) detail::raise_refusal<R>(IsExclusive);
        }
    }
    ~Hold() { release(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

    explicit operator bool() const noexcept { return held_; }
    // The State; only while held.
    [[nodiscard]] Access& operator*() const noexcept { return state<State>(obj_); }
    [[nodiscard]] Access* operator->() const noexcept { return &state<State>(obj_); }
    // The held instance (borrowed).
    [[nodiscard]] PyObject* object() const noexcept { return obj_; }
    // The answer of a refused hold: null with the exception set, or
    // NotImplemented.
    [[nodiscard]] PyObject* refusal() const noexcept {
        return detail::refusal_value<R, PyObject*>();
    }
    // Declares that this exclusive hold changes the State only by storing
    // whole new values (no step leaves a mix of old and new): a thread lost
    // at a fork while holding it does not leave the object refused in the
    // child (borrow.hpp).
    void replaces_whole() const noexcept {
        static_assert(IsExclusive, "only an exclusive hold changes the State");
        if (held_) borrow_flag<State>(obj_).mark_whole();
    }
    // Ends the hold early; the State must not be touched afterwards.
    void release() noexcept {
        if (!held_) return;
        held_ = false;
        BorrowFlag& flag = borrow_flag<State>(obj_);
        if constexpr (IsExclusive) {
            if constexpr (requires(State& s) { s.changed(); }) state<State>(obj_).changed();
            flag.release_exclusive();
        } else {
            flag.release_shared();
        }
    }

private:
    PyObject* obj_;
    bool held_ = false;
};

template <class State, Refuse R = Refuse::Borrow>
using Shared = Hold<State, R, false>;
template <class State, Refuse R = Refuse::Borrow>
using Exclusive = Hold<State, R, true>;

// The receiver of a function that takes its holds itself.
template <class State>
class Scoped {
public:
    explicit Scoped(PyObject* obj) noexcept : obj_(obj) {}

    [[nodiscard]] PyObject* object() const noexcept { return obj_; }
    template <Refuse R = Refuse::Borrow>
    [[nodiscard]] Shared<State, R> shared() const noexcept {
        return Shared<State, R>(obj_);
    }
    template <Refuse R = Refuse::Borrow>
    [[nodiscard]] Exclusive<State, R> exclusive() const noexcept {
        return Exclusive<State, R>(obj_);
    }

private:
    PyObject* obj_;
};

namespace detail {

// The declared hold of a first parameter.
template <class P>
struct HoldParam {
    static constexpr bool declared = false;
};
template <class S, Refuse R, bool E>
struct HoldParam<const Hold<S, R, E>&> {
    static constexpr bool declared = true;
    static constexpr bool scoped = false;
    static constexpr Refuse refuse = R;
};
template <class S>
struct HoldParam<Scoped<S>> {
    static constexpr bool declared = true;
    static constexpr bool scoped = true;
};

template <class P>
inline constexpr bool kLooksLikeHold = false;
template <class S, Refuse R, bool E>
inline constexpr bool kLooksLikeHold<Hold<S, R, E>> = true;
template <class S>
inline constexpr bool kLooksLikeHold<Scoped<S>> = true;

template <class F>
struct FirstParam {
    using type = void;
};
template <class R, class P0, class... A>
struct FirstParam<R (*)(P0, A...)> {
    using type = P0;
};
template <class R, class P0, class... A>
struct FirstParam<R (*)(P0, A...) noexcept> {
    using type = P0;
};

template <auto Fn>
inline constexpr bool kHeld = HoldParam<typename FirstParam<decltype(Fn)>::type>::declared;

// The function with a declared hold seen as a plain `R f(PyObject* self,
// A...)`: takes the hold, then calls it.
template <auto Fn, class Sig = decltype(Fn)>
struct HeldCall;

template <auto Fn, class R, class P0, class... A>
struct HeldCall<Fn, R (*)(P0, A...)> {
    static_assert(std::is_pointer_v<R> || std::is_signed_v<R>,
                  "a function with a declared hold returns an object or an integer");

    static R call(PyObject* self, A... a) {
        using H = HoldParam<P0>;
        if constexpr (H::scoped) {
            return Fn(P0(self), a...);
        } else {
            std::remove_cvref_t<P0> hold(self);
            if (!hold) return refusal_value<H::refuse, R>();
            return Fn(hold, a...);
        }
    }
};
template <auto Fn, class R, class P0, class... A>
struct HeldCall<Fn, R (*)(P0, A...) noexcept> : HeldCall<Fn, R (*)(P0, A...)> {};

template <auto Fn>
consteval auto plain_fn() {
    using P0 = typename FirstParam<decltype(Fn)>::type;
    static_assert(!kLooksLikeHold<std::remove_cvref_t<P0>> || HoldParam<P0>::declared,
                  "a hold is declared as `const py::Shared<S>&`, `const py::Exclusive<S>&` "
                  "or `py::Scoped<S>`");
    if constexpr (HoldParam<P0>::declared)
        return &HeldCall<Fn>::call;
    else
        return Fn;
}

// What the table entries register for `Fn`: Fn itself, or the call that
// takes its declared hold first.
template <auto Fn>
inline constexpr auto plain = plain_fn<Fn>();

}  // namespace detail

}  // namespace vesk::py
