// Guarded entries: the only way native functions reach the interpreter.
//
// `entry<Fn>` is a noexcept function with Fn's signature. It calls Fn and
// stops every C++ exception at the boundary: std::bad_alloc becomes
// MemoryError, anything else RuntimeError; the caller then sees the failure
// value of the return type (null for pointers, -1 for integers). Python
// errors pass through as they are. `panic_entry<Fn>` also turns an internal
// error, or a failure without an exception, into RuntimeError "panic in
// native slot": the form for slots the interpreter calls on behalf of other
// classes' instances. The method, getter and slot tables in methods.hpp and
// type.hpp always wrap through here, so subsystem code never catches.
#pragma once

#include "py/errors.hpp"

#include <exception>
#include <new>
#include <type_traits>

namespace vesk::py {

namespace detail {

template <class R>
[[nodiscard]] constexpr R failure_value() noexcept {
    if constexpr (std::is_pointer_v<R>)
        return nullptr;
    else
        return static_cast<R>(-1);
}

// Sets the exception for a C++ exception caught at the boundary.
void raise_from_cpp(bool panic) noexcept;

template <auto Fn, bool Panic, class Sig>
struct Entry;

template <auto Fn, bool Panic, class R, class... A>
struct Entry<Fn, Panic, R (*)(A...)> {
    static_assert(std::is_void_v<R> || std::is_pointer_v<R> || std::is_signed_v<R>,
                  "an entry returns a pointer, a signed integer or nothing");

    static R call(A... a) noexcept {
        try {
            if constexpr (std::is_void_v<R>) {
                Fn(a...);
            } else {
                R result = Fn(a...);
                if constexpr (Panic) {
                    if (result == failure_value<R>()) convert_to_slot_panic();
                }
                return result;
            }
        } catch (...) {
            if constexpr (std::is_void_v<R>) {
                // Nothing to return the failure through (deallocation): it
                // is reported as unraisable.
                raise_from_cpp(Panic);
                PyErr_WriteUnraisable(nullptr);
            } else {
                raise_from_cpp(Panic);
                return failure_value<R>();
            }
        }
    }
};

// A noexcept function cannot throw: it is its own entry, apart from the
// panic conversion.
template <auto Fn, bool Panic, class R, class... A>
struct Entry<Fn, Panic, R (*)(A...) noexcept> : Entry<Fn, Panic, R (*)(A...)> {};

template <class T>
inline constexpr bool is_function_pointer_v =
    std::is_pointer_v<T> && std::is_function_v<std::remove_pointer_t<T>>;

}  // namespace detail

template <auto Fn>
    requires detail::is_function_pointer_v<decltype(Fn)>
inline constexpr auto entry = &detail::Entry<Fn, false, decltype(Fn)>::call;

template <auto Fn>
    requires detail::is_function_pointer_v<decltype(Fn)>
inline constexpr auto panic_entry = &detail::Entry<Fn, true, decltype(Fn)>::call;

}  // namespace vesk::py
