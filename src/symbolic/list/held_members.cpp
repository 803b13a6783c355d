#include "symbolic/list/held_members.hpp"

#include "py/critical_section.hpp"
#include "symbolic/classes.hpp"
#include "symbolic/container/sorting.hpp"
#include "typing/applied_members.hpp"

#include <new>

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

namespace {

void* hold_for_pass(PyObject* container) {
    if (!is_sym_list(container)) return typing::kNothingHeld;
    auto held = new (std::nothrow) HeldMembers;
    if (!held) {
        PyErr_NoMemory();
        return nullptr;
    }
    if (held->hold(container) < 0) {
        delete held;
        return nullptr;
    }
    return held;
}

void let_go_after_pass(void* token) noexcept { delete static_cast<HeldMembers*>(token); }

constexpr typing::MembersHold kHold{&hold_for_pass, &let_go_after_pass};

}  // namespace

void install_members_hold() noexcept { typing::install_members_hold(&kHold); }

}  // namespace vesk::symbolic::list
