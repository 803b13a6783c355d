// The bool keywords of the container constructors: each given one must be a
// bool scalar and lands in its option.
#pragma once

#include "py/args.hpp"

#include <cstddef>

namespace vesk::symbolic {

struct BoolArg {
    std::size_t index;  // the parameter's position
    const char* name;   // for the argument error
    bool* out;
};

// Reads the given ones among `flags`, in order; false with the binding
// layer's argument error at the first that is not a bool.
template <std::size_t N, std::size_t M>
[[nodiscard]] bool read_bool_args(const py::Args<N>& a, const BoolArg (&flags)[M]) {
    for (const BoolArg& f : flags)
        if (a.given(f.index) && !py::arg_bool_scalar(f.name, a[f.index], *f.out)) return false;
    return true;
}

}  // namespace vesk::symbolic
