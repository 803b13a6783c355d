// Internal interface between the files of the Field class: construction
// helpers, and the members each file implements for the tables of
// field_type.cpp. A member that reads or writes the field's state declares
// its hold on the receiver (py/hold.hpp); the table entry takes it.
#pragma once

#include "py/args.hpp"
#include "py/hold.hpp"
#include "py/ref.hpp"
#include "typing/field/field_state.hpp"

namespace vesk::typing::field {

// Every hold on a field is refused with the binding layer's borrow error.
using Reading = py::Shared<FieldState>;
using Writing = py::Exclusive<FieldState>;
using Scoped = py::Scoped<FieldState>;

// --- construction (field_construct.cpp) ---------------------------------------

PyObject* field_new(PyTypeObject* type, PyObject* args, PyObject* kwds);

// A field of `type` holding `members`, which the caller filled from its
// arguments: a str key is converted through the typing bridge's
// `key_spec_cls.from_str` and the key checked, an absent or empty metadata
// becomes a new dict (a truthy one must be a dict), and the alias checked.
// No validator and no cached record.
[[nodiscard]] py::Ref make_field(PyTypeObject* type, FieldMembers members);

// `member` takes `arg` when it was given (not null).
void given_member(py::Ref& member, PyObject* arg);
// Null or None -> Unset; True or False; anything else is a TypeError naming
// `name`.
[[nodiscard]] bool arg_tri(const char* name, PyObject* value, Tri& out);
// Null or None -> no policy (null); a str (subclasses included) is kept.
[[nodiscard]] bool arg_assign(const char* name, PyObject* value, py::Ref& out);
// Refuses an alias that is not a non-empty str (None is checked by callers).
[[nodiscard]] bool check_alias(PyObject* alias);

// --- members -------------------------------------------------------------------

// field_apply.cpp
PyObject* field_apply(Scoped self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* field_from_annotation(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
// field_extend.cpp
PyObject* field_extend(Scoped self, PyObject* base);
PyObject* field_own_value_spec(Scoped self);
PyObject* field_materialize_strict(Scoped self);
// field_copy.cpp
PyObject* field_copy(const Reading& self);
PyObject* field_deepcopy(Scoped self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
// field_format.cpp
PyObject* field_format(const Reading& self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);
PyObject* field_str(const Reading& self);
PyObject* field_repr(const Reading& self);
// field_equality.cpp
PyObject* field_richcompare(Scoped self, PyObject* other, int op);
// field_json.cpp
PyObject* field_to_json(const Reading& self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);
PyObject* field_from_json(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
// field_probe.cpp
PyObject* field_meta_probe(Scoped self);

// The parsers of the members above, defined with them; the class's table
// makes each docstring from its Params.
extern py::Params<5> kApplyParams;
extern py::Params<6> kFromAnnotationParams;
extern py::Params<1> kDeepcopyParams;
extern py::Params<3> kFormatParams;
extern py::Params<0> kToJsonParams;
extern py::Params<1> kFromJsonParams;

}  // namespace vesk::typing::field
