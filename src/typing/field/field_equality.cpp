// Field equality: two fields are equal when they declare the same thing:
// key spec, value spec, description, metadata, the stated flags, the
// validator and the alias. The origin and the assign policy take no part.
// Fields define no order and no hash.
#include "typing/field/field.hpp"
#include "typing/field/field_ops.hpp"

#include "typing/bridge.hpp"

#include <array>

namespace vesk::typing::field {

namespace {

// The truth of `a == b`, without the identity shortcut: a member that is
// not equal to itself (a NaN description) makes its field unequal.
int members_equal(PyObject* a, PyObject* b) {
    py::Ref eq = py::Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
    return eq ? PyObject_IsTrue(eq.get()) : -1;
}

// Both fields are held shared while their members are compared, so a
// member's `__eq__` may read either field but not change it.
int fields_equal(Scoped self, PyObject* other) {
    if (self.object() == other) return 1;
    if (!is_field(other)) return 0;
    Reading mine = self.shared();
    if (!mine) return -1;
    Reading theirs(other);
    if (!theirs) return -1;
    const FieldMembers& a = *mine;
    const FieldMembers& b = *theirs;
    for (py::Ref FieldMembers::* m : {&FieldMembers::key, &FieldMembers::value,
                                      &FieldMembers::description, &FieldMembers::metadata}) {
        const int eq = members_equal((a.*m).get(), (b.*m).get());
        if (eq <= 0) return eq;
    }
    constexpr std::array<Tri FieldMembers::*, 5> kFlags{
        &FieldMembers::enable_repr, &FieldMembers::enable_compare, &FieldMembers::enable_hash,
        &FieldMembers::enable_clone, &FieldMembers::enable_validation};
    for (Tri FieldMembers::* f : kFlags)
        if (a.*f != b.*f) return 0;
    if (a.enable_init != b.enable_init) return 0;
    const int same_validator = callable_eq(a.validator.get(), b.validator.get());
    if (same_validator <= 0) return same_validator;
    return members_equal(a.alias.get(), b.alias.get());
}

}  // namespace

PyObject* field_richcompare(Scoped self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) return py::not_implemented();
    const int eq = fields_equal(self, other);
    if (eq < 0) return nullptr;
    return py::boolean((eq == 1) == (op == Py_EQ));
}

}  // namespace vesk::typing::field
