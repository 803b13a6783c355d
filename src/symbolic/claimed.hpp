// The claimed set of one bulk operation (a construction, a multi-member
// write): the children adopted so far, so that one value met twice is
// recognised and not placed in two spots.
//
// The sets the system makes itself are identity sets: every value counts,
// hashable or not, and two equal but distinct values count as two. A set the
// package passes (`seen`) is a Python set; a value it cannot hash is neither
// found in it nor added to it, so it never aborts the operation.
#pragma once

#include "py/ref.hpp"

#include <optional>
#include <unordered_set>
#include <vector>

namespace vesk::symbolic {

class ClaimedSet {
public:
    // A native identity set.
    ClaimedSet() = default;
    // The package's Python set (borrowed; it outlives this object).
    explicit ClaimedSet(PyObject* py_set) noexcept : py_set_(py_set) {}
    ClaimedSet(const ClaimedSet&) = delete;
    ClaimedSet& operator=(const ClaimedSet&) = delete;

    // Never fails: a Python set that cannot hash `value` does not hold it.
    [[nodiscard]] bool contains(PyObject* value) const noexcept;
    // Never fails: a Python set that cannot hash `value` skips it.
    void add(PyObject* value);

private:
    PyObject* py_set_ = nullptr;
    // Members are kept alive, so no address is reused while the set lives.
    std::vector<py::Ref> kept_;
    std::unordered_set<PyObject*> ids_;
};

// A `seen` argument: a set (the package's claimed set, kept in `out`) or
// None. False with the conversion TypeError for anything else.
[[nodiscard]] bool arg_claimed_set(PyObject* value, std::optional<ClaimedSet>& out);

}  // namespace vesk::symbolic
