// Lists of names given to the kernel's functions.
#pragma once

#include "py/ref.hpp"

#include <vector>

namespace vesk::kernel::record {

// A list of str (a str itself, or any other iterable, is refused with the
// argument-conversion TypeError naming `param`), snapshotted item by item.
[[nodiscard]] bool arg_str_list(const char* param, PyObject* value, std::vector<py::Ref>& out);

}  // namespace vesk::kernel::record
