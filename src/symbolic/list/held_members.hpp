// A symbolic list held by its construction from where it formalizes its
// items to the end of the spec's pass over them (container/sorting.hpp):
// while it is held, other threads' writes to the list fail at once with the
// borrow refusal, having changed nothing, and the holding thread writes its
// members back by index. The hold claims the list exclusively as well
// (claim.hpp), so it never starts under a write of another thread that is
// running Python code on the list or below it: it fails at once instead,
// having changed nothing.
#pragma once

#include "py/ref.hpp"
#include "symbolic/claim.hpp"

#include <optional>

namespace vesk::symbolic::list {

class HeldMembers {
public:
    HeldMembers() noexcept = default;
    ~HeldMembers();
    HeldMembers(const HeldMembers&) = delete;
    HeldMembers& operator=(const HeldMembers&) = delete;

    // Holds `list` (a SymList) until this ends. 0, or -1 with the refusal.
    [[nodiscard]] int hold(PyObject* list);

private:
    // Opened first, so the claim it keeps is the innermost scope's while the
    // hold lasts, and released last.
    std::optional<ClaimScope> claims_;
    py::Ref list_;  // marked by this hold
};

}  // namespace vesk::symbolic::list
