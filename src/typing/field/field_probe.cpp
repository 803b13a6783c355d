// `_field_meta_probe()`: reports the field's compiled record as plain data,
// for tests and diagnostics. The "token" is the record's serial, so a
// caller can tell a cached record from a rebuilt one.
#include "typing/field/field.hpp"
#include "typing/field/field_ops.hpp"

namespace vesk::typing::field {

namespace {

py::Ref tuple_of(const std::vector<py::Ref>& items) {
    py::Ref t = py::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!t) return {};
    for (std::size_t i = 0; i < items.size(); ++i)
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), py::Ref(items[i]).release());
    return t;
}

}  // namespace

PyObject* field_meta_probe(Scoped self) {
    FieldMetaRef m = field_meta(self.object());
    if (!m) return nullptr;
    py::Ref exact = tuple_of(m->exact);
    py::Ref subclass = tuple_of(m->subclass);
    py::Ref checked = py::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(m->checked.size())));
    if (!exact || !subclass || !checked) return nullptr;
    for (std::size_t i = 0; i < m->checked.size(); ++i) {
        PyObject* pair = PyTuple_Pack(2, m->checked[i].first.get(), m->checked[i].second.get());
        if (!pair) return nullptr;
        PyTuple_SET_ITEM(checked.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return Py_BuildValue(
        "{s:N,s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:O}", "token",
        PyLong_FromUnsignedLongLong(m->serial), "exact", exact.get(), "checked",
        checked.get(), "subclass", subclass.get(), "const_text", m->const_text.get(), "value_spec",
        m->value_spec.get(), "validate", m->validate ? Py_True : Py_False, "accept_any",
        m->accept_any ? Py_True : Py_False, "widen_to_float", m->widen_to_float ? Py_True : Py_False,
        "wrap", m->wrap ? Py_True : Py_False, "custom_apply", m->custom_apply ? Py_True : Py_False,
        "default_carries_missing", m->default_carries_missing ? Py_True : Py_False, "has_default",
        m->has_default ? Py_True : Py_False, "frozen", m->frozen ? Py_True : Py_False,
        "scalar_elements", m->scalar_elements ? Py_True : Py_False, "symbolic",
        tri_object(m->symbolic));
}

}  // namespace vesk::typing::field
