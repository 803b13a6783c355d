#include "symbolic/list/held_members.hpp"

#include "py/critical_section.hpp"
#include "symbolic/container/sorting.hpp"

namespace vesk::symbolic::list {

int HeldMembers::hold(PyObject* list) {
    claims_.emplace();
    if (claims_->exclusive(list) < 0) return -1;
    PassMark mark;
    {
        py::CriticalSection guard(list);
        mark = begin_member_pass(list);
    }
    if (mark == PassMark::Refused) return -1;
    // A pass of this thread that holds the list already lets it go.
    if (mark == PassMark::Taken) list_ = py::Ref::borrow(list);
    return 0;
}

HeldMembers::~HeldMembers() {
    if (list_) {
        py::CriticalSection guard(list_.get());
        end_member_pass(list_.get());
    }
}

}  // namespace vesk::symbolic::list
