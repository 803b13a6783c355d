// Internal interface between the files of the Field class.
#pragma once

#include "py/ref.hpp"
#include "typing/field/field_meta.hpp"

namespace vesk::typing::field {

// The constructor's arguments after conversion (borrowed; null = omitted).
struct FieldArgs {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    PyObject* description = nullptr;
    PyObject* metadata = nullptr;
    PyObject* origin = nullptr;
    Tri enable_repr = Tri::Unset;
    Tri enable_compare = Tri::Unset;
    Tri enable_hash = Tri::Unset;
    bool enable_init = true;
    Tri enable_clone = Tri::Unset;
    Tri enable_validation = Tri::Unset;
    py::Ref assign;  // a str, or null
    PyObject* alias = nullptr;
};

// The constructor: converts a str key through the typing bridge's
// `key_spec_cls.from_str`, checks the key, the metadata and the alias, and
// builds a field of `type` with no validator and no cached record.
[[nodiscard]] py::Ref make_field(PyTypeObject* type, const FieldArgs& args);

// Null or None -> Unset; True or False; anything else is a TypeError naming
// `name`.
[[nodiscard]] bool arg_tri(const char* name, PyObject* value, Tri& out);
// Null or None -> no policy (null); a str (subclasses included) is kept.
[[nodiscard]] bool arg_assign(const char* name, PyObject* value, py::Ref& out);

// Methods implemented in field_apply.cpp.
PyObject* field_apply(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* field_extend(PyObject* self, PyObject* base);
PyObject* field_own_value_spec(PyObject* self);
PyObject* field_materialize_strict(PyObject* self);
// Implemented in field_copy.cpp.
PyObject* field_copy(PyObject* self);
PyObject* field_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
// Implemented in field_format.cpp.
PyObject* field_format(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* field_str(PyObject* self);
PyObject* field_repr(PyObject* self);
// Implemented in field_equality.cpp.
PyObject* field_richcompare(PyObject* self, PyObject* other, int op);
// Implemented in field_json.cpp.
PyObject* field_to_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);
PyObject* field_from_json(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
// Implemented in field_probe.cpp.
PyObject* field_meta_probe(PyObject* self);
PyObject* field_from_annotation(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);

}  // namespace vesk::typing::field
