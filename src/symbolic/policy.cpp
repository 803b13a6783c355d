#include "symbolic/policy.hpp"

#include "py/args.hpp"
#include "py/lazy.hpp"
#include "symbolic/shortcuts.hpp"

namespace vesk::symbolic {

Policy parse_policy(PyObject* text) noexcept {
    if (!text || !PyUnicode_Check(text)) return Policy::None;
    if (PyUnicode_EqualToUTF8(text, "ref")) return Policy::Ref;
    if (PyUnicode_EqualToUTF8(text, "clone")) return Policy::Clone;
    if (PyUnicode_EqualToUTF8(text, "adopt")) return Policy::Adopt;
    if (PyUnicode_EqualToUTF8(text, "adopt_ref")) return Policy::AdoptRef;
    return Policy::None;
}

bool read_field_assign(PyObject* field, py::Ref& out) {
    bool ok = true;
    if (native_field_assign(field, out, ok)) return ok;
    py::Ref assign = py::get_attr<"assign">(field);
    if (!assign) return false;
    if (assign.get() == Py_None) {
        out.reset();
        return true;
    }
    if (!py::arg_str("assign", assign.get())) return false;
    out = std::move(assign);
    return true;
}

bool field_policy(PyObject* schema, PyObject* key, PyObject* fallback, py::Ref& out) {
    out = py::Ref::borrow(fallback);
    if (!schema) return true;
    py::Ref field = schema_field(schema, key);
    if (!field) return false;
    if (field.get() == Py_None) return true;
    py::Ref declared;
    if (!read_field_assign(field.get(), declared)) return false;
    if (declared) out = std::move(declared);
    return true;
}

bool class_field_policy(PyObject* obj, PyObject* name, py::Ref& out) {
    out.reset();
    PyObject* attr;
    if (!py::intern<"__schema__">(attr)) return false;
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), attr, &found) < 0)
        return false;
    py::Ref schema = py::Ref::steal(found);
    if (!schema || schema.get() == Py_None) return true;
    return field_policy(schema.get(), name, nullptr, out);
}

}  // namespace vesk::symbolic
