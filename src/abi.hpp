#pragma once

#include "py/python.hpp"

namespace vesk::abi {

inline constexpr long kMajor = 0;
inline constexpr long kMinor = 0;

// Binds `abi_version` and `__abi__`.
[[nodiscard]] int register_module(PyObject* module);

}  // namespace vesk::abi
