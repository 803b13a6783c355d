// Wrapping a raw dict or list into a symbolic container, reached by the
// schema's funnel through the wrap-node hook cell.
#pragma once

#include "hooks.hpp"

namespace vesk::symbolic {

PyObject* build_wrap_node(PyObject* cls, PyObject* raw, PyObject* value_spec, std::uint8_t flags,
                          PyObject* path);

}  // namespace vesk::symbolic
