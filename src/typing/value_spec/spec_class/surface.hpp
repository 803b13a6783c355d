// The members of SpecBase, defined across this room and bound in one table
// (spec_base.cpp), each with the hold it declares and the Params its
// docstring is made from.
#pragma once

#include "py/args.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"

namespace vesk::typing {

// --- mutators (mutators.cpp) ---
extern py::Params<3> kSetDefaultParams;
extern py::Params<1> kSetFactoryParams;
extern py::Params<1> kSetTransformParams;
extern py::Params<1> kSetStrictParams;
extern py::Params<2> kNoneableParams;
extern py::Params<2> kFreezeParams;
PyObject* spec_set_default(SpecScope self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
PyObject* spec_set_default_factory(SpecScope self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);
PyObject* spec_set_transform(SpecScope self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* spec_set_strict(const SpecMutation& self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* spec_noneable(SpecScope self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);
PyObject* spec_freeze(SpecScope self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);

// --- the spec as a whole (whole_spec.cpp) ---
extern py::Params<0> kMaterializeStrictParams;
PyObject* get_annotation(const SpecRead& self);
PyObject* get_fast_apply_info(const SpecRead& self);
PyObject* get_exact_leaf_type(const SpecRead& self);
PyObject* get_checked_leaf_type(const SpecRead& self);
PyObject* get_has_custom_apply(const SpecRead& self);
PyObject* get_has_custom_validate(const SpecRead& self);
PyObject* get_validate_is_noop(const SpecRead& self);
PyObject* get_value_type_plain(const SpecRead& self);
PyObject* get_is_any_type(const SpecRead& self);
PyObject* get_is_inherit_marker(const SpecRead& self);
// `_materialize_strict()`: an unset `strict` becomes True, then the children
// (element specs, field values, candidates) get the same, each through its
// own `_materialize_strict`, after this spec's hold is released.
PyObject* spec_materialize_strict(SpecScope self);

// --- calls (call.cpp) ---
PyObject* spec_call(const SpecRead& self, PyObject* args, PyObject* kwargs);

// --- JSON (json_write.cpp) ---
extern py::Params<0> kToJsonParams;
PyObject* spec_to_json(const SpecRead& self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);

// --- extension (extend.cpp) ---
extern py::Params<1> kExtendParams;
// `extend(base)`: the extended child, a new frozen Enum, or null.
PyObject* spec_extend(SpecScope self, PyObject* base);

}  // namespace vesk::typing
