// Shallow and deep copies of a Field. Both give a plain Field with no cached
// record: the copy builds its own on first use.
#include "typing/field/field.hpp"
#include "typing/field/field_ops.hpp"
#include "typing/field/field_state.hpp"

#include "py/args.hpp"
#include "py/lazy.hpp"
#include "typing/memo.hpp"

#include <array>

namespace vesk::typing::field {

namespace {

// The members a deep copy replaces, in the order they are copied.
constexpr std::array<py::Ref FieldState::*, 7> kDeepMembers{
    &FieldState::key,      &FieldState::value,     &FieldState::description,
    &FieldState::origin,   &FieldState::metadata,  &FieldState::validator,
    &FieldState::alias,
};

py::Params<1> kDeepcopySig{"__deepcopy__", {"memo"}, 1, 1};

// A new Field sharing every member object of `self`.
py::Ref shallow_copy(PyObject* self) {
    PyTypeObject* type = field_type();
    if (!type) return {};
    py::Ref copy = py::alloc<FieldState>(type);
    if (!copy) return {};
    py::SharedBorrow b(py::borrow_flag<FieldState>(self));
    if (!b.acquire()) return {};
    const FieldState& s = py::state<FieldState>(self);
    FieldState& c = py::state<FieldState>(copy.get());
    for (py::Ref FieldState::* m : kDeepMembers) c.*m = s.*m;
    c.assign = s.assign;  // an immutable str: sharing it is copying it
    c.enable_repr = s.enable_repr;
    c.enable_compare = s.enable_compare;
    c.enable_hash = s.enable_hash;
    c.enable_init = s.enable_init;
    c.enable_clone = s.enable_clone;
    c.enable_validation = s.enable_validation;
    return copy;
}

}  // namespace

PyObject* field_copy(PyObject* self) { return shallow_copy(self).release(); }

PyObject* field_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kDeepcopySig, args, nargs, kwnames, a)) return nullptr;
    PyObject* memo = a[0];

    PyTypeObject* type = field_type();
    if (!type) return nullptr;
    py::Ref hit;
    const int found = deepcopy_memo_hit_of(memo, self, type, "Field", hit);
    if (found != 0) return hit.release();

    // Registered before any member is copied, so a member that refers back
    // to this field (metadata holding it, say) resolves to the copy.
    py::Ref copy = shallow_copy(self);
    if (!copy || deepcopy_memo_register(memo, self, copy.get()) < 0) return nullptr;

    PyObject* deepcopy = py::imported<"copy", "deepcopy">();
    if (!deepcopy) return nullptr;
    std::array<py::Ref, kDeepMembers.size()> copied;
    {
        // Readers may still reach the field meanwhile; writers are refused.
        py::SharedBorrow b(py::borrow_flag<FieldState>(self));
        if (!b.acquire()) return nullptr;
        const FieldState& s = py::state<FieldState>(self);
        for (std::size_t i = 0; i < kDeepMembers.size(); ++i) {
            PyObject* call_args[] = {(s.*kDeepMembers[i]).get(), memo};
            copied[i] = py::Ref::steal(PyObject_Vectorcall(deepcopy, call_args, 2, nullptr));
            if (!copied[i]) return nullptr;
        }
    }
    {
        // Only the memo reaches the copy, so this hold is refused only when
        // a member's own copy hook holds it; then nothing is replaced.
        py::ExclusiveBorrow b(py::borrow_flag<FieldState>(copy.get()));
        if (!b.acquire()) return nullptr;
        FieldState& c = py::state<FieldState>(copy.get());
        for (std::size_t i = 0; i < kDeepMembers.size(); ++i) std::swap(c.*kDeepMembers[i], copied[i]);
    }
    // A hook may have compiled the copy's record from the shared members.
    invalidate_meta(copy.get());
    return copy.release();  // the replaced shallow members are released with `copied`
}

}  // namespace vesk::typing::field
