#pragma once

#include "py/python.hpp"

namespace vesk::abi {

inline constexpr long kMajor = 0;
inline constexpr long kMinor = 0;

}  // namespace vesk::abi
