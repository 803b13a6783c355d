// Shallow and deep copies of a Field. Both give a plain Field with no cached
// record: the copy builds its own on first use.
#include "typing/field/field.hpp"
#include "typing/field/field_ops.hpp"

#include "py/args.hpp"
#include "py/deferred.hpp"
#include "py/named.hpp"
#include "typing/memo.hpp"

#include <array>

namespace vesk::typing::field {

namespace {

// The members a deep copy replaces, in the order they are copied; the
// assign policy is an immutable str, so sharing it is copying it.
constexpr std::array<py::Ref FieldMembers::*, 7> kDeepMembers{
    &FieldMembers::key,      &FieldMembers::value,     &FieldMembers::description,
    &FieldMembers::origin,   &FieldMembers::metadata,  &FieldMembers::validator,
    &FieldMembers::alias,
};

// A new Field sharing every member object of the held field.
py::Ref shallow_copy(const Reading& source) {
    PyTypeObject* type = field_type();
    if (!type) return {};
    py::Ref copy = py::alloc<FieldState>(type);
    if (!copy) return {};
    static_cast<FieldMembers&>(py::state<FieldState>(copy.get())) = *source;
    py::defer_counting(copy.get());
    return copy;
}

}  // namespace

py::Params<1> kDeepcopyParams{"__deepcopy__", {"memo"}, 1, 1};

PyObject* field_copy(const Reading& self) { return shallow_copy(self).release(); }

PyObject* field_deepcopy(Scoped self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kDeepcopyParams, args, nargs, kwnames, a)) return nullptr;
    PyObject* memo = a[0];

    PyTypeObject* type = field_type();
    if (!type) return nullptr;
    py::Ref hit;
    const int found = deepcopy_memo_hit_of(memo, self.object(), type, "Field", hit);
    if (found != 0) return hit.release();

    std::array<py::Ref, kDeepMembers.size()> copied;
    py::Ref copy;
    {
        // Readers may still reach the field meanwhile; writers are refused.
        Reading s = self.shared();
        if (!s) return nullptr;
        // Registered before any member is copied, so a member that refers
        // back to this field (metadata holding it, say) resolves to the copy.
        copy = shallow_copy(s);
        if (!copy || deepcopy_memo_register(memo, self.object(), copy.get()) < 0) return nullptr;
        for (std::size_t i = 0; i < kDeepMembers.size(); ++i) {
            copied[i] = py::call_imported<"copy", "deepcopy">(((*s).*kDeepMembers[i]).get(), memo);
            if (!copied[i]) return nullptr;
        }
    }
    {
        // Only the memo reaches the copy, so this hold is refused only when
        // a member's own copy hook holds it; then nothing is replaced.
        Writing c(copy.get());
        if (!c) return nullptr;
        for (std::size_t i = 0; i < kDeepMembers.size(); ++i)
            std::swap((*c).*kDeepMembers[i], copied[i]);
    }
    // A hook may have compiled the copy's record from the shared members.
    invalidate_meta(copy.get());
    return copy.release();  // the replaced shallow members are released with `copied`
}

}  // namespace vesk::typing::field
