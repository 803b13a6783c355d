// The deep-copy memo protocol that every native `__deepcopy__` follows (the
// one of the standard `copy` module): the memo maps id(source) to the copy
// already made, and keeps the sources alive in a list under id(memo) for as
// long as the copy runs. A memo that is not a dict (subclasses included) is
// ignored: it never hits and nothing is written to it.
//
// A `__deepcopy__` asks `deepcopy_memo_hit` first and returns a hit as is;
// otherwise it makes its copy, registers it, and returns it (a container
// that may meet itself again registers before copying its children).
#pragma once

#include "py/ref.hpp"

namespace vesk::typing {

// 1 with `copy` set when the memo holds a copy of `source`; 0 when it does not
// (or is not a dict); -1 when the lookup fails (a hostile dict subclass).
[[nodiscard]] int deepcopy_memo_hit(PyObject* memo, PyObject* source, py::Ref& copy);

// The same, where a hit must be an instance of `type` (subclasses included):
// any other object stored for `source` is the TypeError "'{class}' object
// cannot be converted to '{name}'".
[[nodiscard]] int deepcopy_memo_hit_of(PyObject* memo, PyObject* source, PyTypeObject* type,
                                       const char* name, py::Ref& copy);

// memo[id(source)] = copy, then appends `source` to the keep-alive list under
// id(memo) (calling its `append` by name), making the list on first use.
// Returns 0, or -1 with the error of a dict write or of `append`.
[[nodiscard]] int deepcopy_memo_register(PyObject* memo, PyObject* source, PyObject* copy);

}  // namespace vesk::typing
