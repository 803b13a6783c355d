// The range of an Int or Float spec as its constructor receives it, and the
// folding of the comparison aliases (`gt`, `ge`, `lt`, `le`) into the two
// inclusive bounds the Number payload keeps.
//
// Bounds are kept as the objects given: they are neither converted nor type
// checked; the only test made on them is the order test when both exist.
#pragma once

#include "py/ref.hpp"

namespace vesk::typing::primitives {

// Borrowed pointers, null when omitted (an explicit None counts as omitted).
struct BoundArgs {
    PyObject* min_value = nullptr;
    PyObject* max_value = nullptr;
    PyObject* gt = nullptr;
    PyObject* ge = nullptr;
    PyObject* lt = nullptr;
    PyObject* le = nullptr;
};

struct Bounds {
    py::Ref min;  // null: unbounded below
    py::Ref max;  // null: unbounded above
};

// Folds the aliases of `args` into `out`. `is_float` selects the kind: an
// Int rewrites an exclusive bound of exact type int into the neighbouring
// inclusive one, a Float refuses exclusive bounds. The lower side is decided
// before the upper side. Returns false with ValueError (or the error of the
// rewrite's arithmetic or of repr) set.
[[nodiscard]] bool fold_bound_aliases(bool is_float, const BoundArgs& args, Bounds& out);

// False with an exception set when both bounds exist and `min > max` is true
// (ValueError), or when that comparison or its truth test fails.
[[nodiscard]] bool check_bound_order(const Bounds& bounds);

}  // namespace vesk::typing::primitives
