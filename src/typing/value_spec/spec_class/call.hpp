// Calling a spec (`spec(*args, **kwargs)`): what the kinds' `call` entries
// share. Each runs under the caller's shared hold of the spec.
//
// Errors: null with an exception set.
#pragma once

#include "typing/value_spec/engine/spec_engine.hpp"

namespace vesk::typing {

// Any, Union, Callable: TypeError "{repr} cannot be instantiated.".
PyObject* refuse_call(const SpecEngine& engine, PyObject* self, PyObject* args,
                      PyObject* kwargs);

// `made` (consumed; null passes its error on) applied by the spec with the
// options of a plain `apply(value)`.
[[nodiscard]] py::Ref apply_made(const SpecEngine& engine, PyObject* self, py::Ref made);

// The first two steps of calling a leaf or sequence spec: with no
// positional argument, a stored default that is not missing (or, with a
// factory, what `materialize_default` gives); then a frozen spec's default.
// 1 with `out` set, 0 when the call goes on, -1 on error.
[[nodiscard]] int call_from_default(const SpecEngine& engine, PyObject* self, PyObject* args,
                                    py::Ref& out);

}  // namespace vesk::typing
