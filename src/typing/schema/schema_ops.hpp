// Internal interface between the files of the Schema class: small readers
// shared by construction, merge and the caches, and the members each file
// adds to the type's tables in schema_type.cpp.
#pragma once

#include "py/lazy.hpp"
#include "typing/schema/schema.hpp"

namespace vesk::typing::schema {

// `obj.Name` taken for its truth: 1, 0 or -1 with an exception set.
template <py::Literal Name>
[[nodiscard]] int attr_truth(PyObject* obj) {
    py::Ref v = py::get_attr<Name>(obj);
    return v ? PyObject_IsTrue(v.get()) : -1;
}

// The conversion error for a member that must be of one type.
void raise_conversion(const char* what, const char* expected, PyObject* got);

// The RuntimeError of a store refused because another operation holds the
// schema.
void raise_held();

// construct.cpp
PyObject* schema_new(PyTypeObject* type, PyObject* args, PyObject* kwds);
PyObject* schema_merge(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// extend.cpp
PyObject* schema_extend(PyObject* self, PyObject* base);
PyObject* schema_recompute_caches(PyObject* self);

// apply.cpp
PyObject* schema_py_apply(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* schema_py_validate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

// surface.cpp: mapping members and lookups
PyObject* schema_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* schema_get_field(PyObject* self, PyObject* key);
PyObject* schema_keys(PyObject* self);
PyObject* schema_values(PyObject* self);
PyObject* schema_items(PyObject* self);
PyObject* schema_is_compatible(PyObject* self, PyObject* other);
PyObject* schema_resolve(PyObject* self, PyObject* keys);
PyObject* schema_getitem(PyObject* self, PyObject* key);
int schema_contains(PyObject* self, PyObject* key);
PyObject* schema_set_name(PyObject* self, PyObject* name);
PyObject* schema_set_description(PyObject* self, PyObject* description);

// surface.cpp: getters and setters
PyObject* schema_get_fields(PyObject* self);
PyObject* schema_get_name(PyObject* self);
PyObject* schema_get_description(PyObject* self);
PyObject* schema_get_metadata(PyObject* self);
PyObject* schema_get_dynamic_field(PyObject* self);
PyObject* schema_get_allow_nonconst_keys(PyObject* self);
PyObject* schema_get_has_const_keys(PyObject* self);
PyObject* schema_get_has_nonconst_keys(PyObject* self);
PyObject* schema_get_const_apply_fields(PyObject* self);
PyObject* schema_get_const_bulk_check(PyObject* self);

// format.cpp: the text form
PyObject* schema_format(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);
PyObject* schema_str(PyObject* self);
PyObject* schema_repr(PyObject* self);

// equality.cpp
PyObject* schema_richcompare(PyObject* self, PyObject* other, int op);

// copy.cpp
PyObject* schema_copy(PyObject* self);
PyObject* schema_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

// json.cpp
PyObject* schema_to_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* schema_from_json(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

// probes.cpp: the cache and funnel probes
PyObject* schema_field_meta_classes(PyObject* self);
PyObject* schema_open_plan_info(PyObject* self);
PyObject* schema_funnel_leaf(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* schema_funnel_validate_field(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);

}  // namespace vesk::typing::schema
