// Internal interface between the files of the Schema class: small readers
// shared by construction, merge and the caches, and the members each file
// adds to the type's tables in schema_type.cpp. A member that reads or
// writes the schema's state declares its hold on the receiver
// (py/hold.hpp); the table entry takes it.
#pragma once

#include "py/args.hpp"
#include "py/hold.hpp"
#include "py/lazy.hpp"
#include "typing/schema/schema.hpp"

namespace vesk::typing::schema {

// Holds on a schema. Reads and the two setters are refused with the binding
// layer's borrow error; `extend`'s final store with the mutation refusal.
using Reading = py::Shared<SchemaState>;
using Writing = py::Exclusive<SchemaState>;
using Scoped = py::Scoped<SchemaState>;

// `obj.Name` taken for its truth: 1, 0 or -1 with an exception set.
template <py::Literal Name>
[[nodiscard]] int attr_truth(PyObject* obj) {
    py::Ref v = py::get_attr<Name>(obj);
    return v ? PyObject_IsTrue(v.get()) : -1;
}

// The conversion error for a member that must be of one type.
void raise_conversion(const char* what, const char* expected, PyObject* got);

// construct.cpp
PyObject* schema_new(PyTypeObject* type, PyObject* args, PyObject* kwds);
PyObject* schema_merge(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// extend.cpp
PyObject* schema_extend(Scoped self, PyObject* base);
PyObject* schema_recompute_caches(Scoped self);

// apply.cpp
PyObject* schema_py_apply(const Reading& self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* schema_py_validate(const Reading& self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

// surface.cpp: mapping members and lookups
PyObject* schema_get(const Reading& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* schema_get_field(const Reading& self, PyObject* key);
PyObject* schema_keys(const Reading& self);
PyObject* schema_values(const Reading& self);
PyObject* schema_items(const Reading& self);
PyObject* schema_is_compatible(const Reading& self, PyObject* other);
PyObject* schema_resolve(const Reading& self, PyObject* keys);
PyObject* schema_getitem(const Reading& self, PyObject* key);
int schema_contains(const Reading& self, PyObject* key);
PyObject* schema_set_name(Scoped self, PyObject* name);
PyObject* schema_set_description(Scoped self, PyObject* description);

// surface.cpp: getters and setters
PyObject* schema_get_fields(const Reading& self);
PyObject* schema_get_name(const Reading& self);
PyObject* schema_get_description(const Reading& self);
PyObject* schema_get_metadata(const Reading& self);
PyObject* schema_get_dynamic_field(const Reading& self);
PyObject* schema_get_allow_nonconst_keys(const Reading& self);
PyObject* schema_get_has_const_keys(const Reading& self);
PyObject* schema_get_has_nonconst_keys(const Reading& self);
PyObject* schema_get_const_apply_fields(const Reading& self);
PyObject* schema_get_const_bulk_check(const Reading& self);

// format.cpp: the text form
PyObject* schema_format(const Reading& self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);
PyObject* schema_str(const Reading& self);
PyObject* schema_repr(const Reading& self);

// equality.cpp
PyObject* schema_richcompare(Scoped self, PyObject* other, int op);

// copy.cpp
PyObject* schema_copy(const Reading& self);
PyObject* schema_deepcopy(Scoped self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

// json.cpp
PyObject* schema_to_json(const Reading& self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* schema_from_json(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

// probes.cpp: the cache and funnel probes
PyObject* schema_field_meta_classes(const Reading& self);
PyObject* schema_open_plan_info(const Reading& self);
PyObject* schema_funnel_leaf(const Reading& self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* schema_funnel_validate_field(const Reading& self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);

// The parsers of the members above, defined with them; the class's table
// makes each docstring from its Params.
extern py::Params<3> kMergeParams;
extern py::Params<6> kApplyParams;
extern py::Params<3> kValidateParams;
extern py::Params<2> kGetParams;
extern py::Params<6> kFormatParams;
extern py::Params<1> kDeepcopyParams;
extern py::Params<0> kToJsonParams;
extern py::Params<1> kFromJsonParams;
extern py::Params<2> kFunnelLeafParams;
extern py::Params<4> kFunnelValidateParams;

}  // namespace vesk::typing::schema
