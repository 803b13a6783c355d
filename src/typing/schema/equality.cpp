// Schema equality: two schemas are equal when their fields are, key spec by
// key spec; the name, description, metadata and key policy take no part.
// Schemas define no order and no hash.
#include "typing/schema/schema_ops.hpp"

namespace vesk::typing::schema {

namespace {

// Both schemas are held shared while the fields compare, so a field's
// `__eq__` may read either schema but not change it.
int schemas_equal(Scoped self, PyObject* other) {
    if (self.object() == other) return 1;
    if (!is_schema(other)) return 0;
    Reading mine = self.shared();
    if (!mine) return -1;
    Reading theirs(other);
    if (!theirs) return -1;
    py::Ref eq = py::Ref::steal(PyObject_RichCompare(mine->fields.get(), theirs->fields.get(), Py_EQ));
    return eq ? PyObject_IsTrue(eq.get()) : -1;
}

}  // namespace

PyObject* schema_richcompare(Scoped self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) return py::not_implemented();
    const int eq = schemas_equal(self, other);
    if (eq < 0) return nullptr;
    return py::boolean((eq == 1) == (op == Py_EQ));
}

}  // namespace vesk::typing::schema
