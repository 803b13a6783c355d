#include "symbolic/list/held_members.hpp"

#include "symbolic/container/sorting.hpp"

namespace vesk::symbolic::list {

int HeldMembers::hold(PyObject* list) {
    const PassMark mark = claim_and_mark(claims_.emplace(), list);
    if (mark == PassMark::Refused) return -1;
    // A pass of this thread that holds the list already lets it go.
    if (mark == PassMark::Taken) list_ = py::Ref::borrow(list);
    return 0;
}

HeldMembers::~HeldMembers() {
    if (list_) release_mark(list_.get());
}

}  // namespace vesk::symbolic::list
