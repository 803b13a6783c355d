#include "symbolic/object/writes/attribute_write.hpp"

#include "py/errors.hpp"
#include "py/lazy.hpp"
#include "symbolic/calls.hpp"
#include "symbolic/object/ctor_meta.hpp"
#include "symbolic/object/writes/store_field.hpp"

namespace vesk::symbolic::object {

namespace {

// Whether an attribute name is public: empty, or not beginning with "_".
bool is_public_name(PyObject* name) noexcept {
    return PyUnicode_GET_LENGTH(name) == 0 || PyUnicode_READ_CHAR(name, 0) != '_';
}

// The truth of the field attribute read by `read`. 1, 0 or -1.
template <class Read>
int field_flag(PyObject* field, Read read) {
    py::Ref flag = read(field);
    return flag ? PyObject_IsTrue(flag.get()) : -1;
}

// A field that is not written symbolically is a plain attribute, validated
// by the field first when it is not an init field but asks for validation.
int plain_field_write(PyObject* obj, PyObject* name, PyObject* value, PyObject* field) {
    const int init = field_flag(field, py::get_attr<"enable_init">);
    if (init < 0) return -1;
    if (!init) {
        const int validates = field_flag(field, py::get_attr<"enable_validation">);
        if (validates < 0) return -1;
        if (validates) {
            py::Ref applied = call_method<"apply">(field, value);
            return applied ? PyObject_GenericSetAttr(obj, name, applied.get()) : -1;
        }
    }
    return PyObject_GenericSetAttr(obj, name, value);
}

}  // namespace

bool classify_write(PyTypeObject* cls, PyObject* name, WriteClass& out) {
    const CtorMeta* meta = ctor_meta_in_section(cls, out.keep);
    if (!meta) return false;
    out.meta = meta;
    out.schema = meta->schema.get();
    out.enable_topo = meta->topo;
    if (const PublicField* found = public_init_field(*meta, name)) {
        out.public_field = found;
        out.field = found->field.get();
        out.root_path = found->root_path.get();
        out.symbolic = true;
        return true;
    }
    py::Ref schema = py::get_attr<"__schema__">(reinterpret_cast<PyObject*>(cls));
    if (!schema) return false;
    out.found = call_method<"get_field">(schema.get(), name);
    if (!out.found) return false;
    if (out.found.get() == Py_None) {
        out.found.reset();
        out.symbolic = false;
        return true;
    }
    out.field = out.found.get();
    const int init = field_flag(out.field, py::get_attr<"enable_init">);
    if (init < 0) return false;
    out.symbolic = init && is_public_name(name);
    return true;
}

int object_setattro(PyObject* obj, PyObject* name, PyObject* value) {
    if (!value) return PyObject_GenericSetAttr(obj, name, nullptr);
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%.200s'",
                     Py_TYPE(name)->tp_name);
        return -1;
    }
    if (!PyUnicode_AsUTF8AndSize(name, nullptr)) return -1;
    PyTypeObject* cls = Py_TYPE(obj);
    WriteClass c;
    if (!classify_write(cls, name, c)) return -1;
    if (c.symbolic) {
        if (!c.field) {
            py::raise_internal("a symbolic write implies a field");
            return -1;
        }
        return store_symbolic_field(obj, reinterpret_cast<PyObject*>(cls), name, value, c.field,
                                    c.enable_topo, c.schema, &c);
    }
    if (!c.field) return PyObject_GenericSetAttr(obj, name, value);
    return plain_field_write(obj, name, value, c.field);
}

}  // namespace vesk::symbolic::object
