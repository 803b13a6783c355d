// Argument parsing for the tuple-and-dict calling convention (`tp_new`),
// with the same rules and messages as the fast-call parser.
#pragma once

#include "py/args.hpp"

#include <vector>

namespace vesk::py {

// Like `parse_args`, for `args` (a tuple) and `kwds` (a dict or null). The
// keyword values are kept alive in `keep`, which must outlive the use of
// `out`.
[[nodiscard]] bool parse_tuple_args(const Signature& sig, PyObject* args, PyObject* kwds,
                                    PyObject** out, std::vector<Ref>& keep);

}  // namespace vesk::py
