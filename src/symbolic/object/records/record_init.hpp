// The native record `tp_init` body: it reads the control keywords, then
// builds the record on the direct road (record_direct.hpp) when that road
// takes it, else on the long road of construction steps
// (record_construct.hpp). It calls both; neither calls it.
#pragma once

#include "py/python.hpp"

namespace vesk::symbolic::object {

// The kernel's trampoline runs it (tp_slots.cpp). 0, or -1 with an
// exception set.
[[nodiscard]] int record_init(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace vesk::symbolic::object
