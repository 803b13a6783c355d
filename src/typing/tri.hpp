// A tri-state flag of the typing layer: False, True, or unset, where unset
// means the user said nothing (and only True has an effect where the flag is
// a switch).
#pragma once

#include "py/python.hpp"

#include <cstdint>

namespace vesk::typing {

enum class Tri : std::uint8_t { False = 0, True = 1, Unset = 2 };

[[nodiscard]] constexpr Tri tri_from_bool(bool b) noexcept { return b ? Tri::True : Tri::False; }

// None for unset, else True or False (borrowed: the singletons).
[[nodiscard]] inline PyObject* tri_object(Tri t) noexcept {
    return t == Tri::Unset ? Py_None : t == Tri::True ? Py_True : Py_False;
}

}  // namespace vesk::typing
