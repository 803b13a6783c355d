// The classifications of one candidate value spec from which the field
// metadata builder compiles its lists. A native spec is classified from its
// engine state under a shared borrow; any other object through the probe
// attributes a spec written in Python offers.
//
// Functions returning bool report failure with false and an exception set;
// their answer goes to `out` (a null Ref meaning "none").
#pragma once

#include "py/ref.hpp"

namespace vesk::typing::field::classify {

// Facts about a native spec read in one borrow; all false for any other
// object.
struct NativeFacts {
    bool is_native = false;
    bool plain = false;        // not frozen and without transform
    bool is_any = false;
    bool is_float = false;     // a Float spec
    bool strict_true = false;  // strict is explicitly True
    bool is_tuple = false;
    bool is_union = false;  // a Union spec, subclasses included
    bool noneable = false;
};
[[nodiscard]] bool native_facts(PyObject* spec, NativeFacts& out);

// The class whose exact instances the spec accepts unchanged.
[[nodiscard]] bool spec_exact_leaf_type(PyObject* spec, py::Ref& out);
// The class of values that one `_validate` call of the spec decides.
[[nodiscard]] bool checked_leaf_type(PyObject* spec, py::Ref& out);
// The value class of a plain native Object spec.
[[nodiscard]] bool is_object_candidate(PyObject* spec, py::Ref& out);
// A plain native List, Tuple or Dict spec.
[[nodiscard]] bool is_container_candidate(PyObject* spec, bool& out);
// Whether `spec` is a native List, Tuple or Dict whose element specs are
// all proven scalar leaves.
[[nodiscard]] bool container_all_scalar(PyObject* spec, bool& out);

}  // namespace vesk::typing::field::classify
