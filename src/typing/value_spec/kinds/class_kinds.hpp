// What Object and Type, the kinds whose argument is a class, share: the
// forward reference made for a class named by a string, and the
// class-getitem pair taking exactly one type argument.
#pragma once

#include "py/args.hpp"
#include "py/lazy.hpp"
#include "typing/bridge.hpp"
#include "typing/value_spec/engine/apply.hpp"
#include "typing/value_spec/engine/build.hpp"

#include <optional>

namespace vesk::typing {

// The bridge's `make_forward_ref(name)`.
[[nodiscard]] py::Ref make_forward_ref(PyObject* name);

// A kind constructor of one class argument.
using OneArgNew = std::optional<SpecEngine> (*)(PyObject* t, SpecCommon common);

// `X[t]` with exactly one argument, built by `make` with the options of a
// class getitem into an instance of `type`; `message` takes str() of the
// arguments as a tuple.
[[nodiscard]] py::Ref from_one_type_arg(PyObject* type_args, PyTypeObject* type, OneArgNew make,
                                        const char* message);

extern py::Params<1> kOneTypeArgParams;       // with_type_args(type_args)
extern py::Params<1> kOneTypeArgItemParams;   // __class_getitem__(type_args)

template <PyTypeObject* (*Type)(), OneArgNew Make, const char* Message>
PyObject* one_type_arg_method(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kOneTypeArgParams, args, nargs, kwnames, a)) return nullptr;
    return from_one_type_arg(a[0], Type(), Make, Message).release();
}

// The generic-alias rule of `X[t]`: the spec, or its annotation while
// `typing.TYPE_CHECKING` is true.
[[nodiscard]] py::Ref one_type_arg_item(PyObject* type_args, PyTypeObject* type, OneArgNew make,
                                        const char* message);

template <PyTypeObject* (*Type)(), OneArgNew Make, const char* Message>
PyObject* one_type_arg_getitem(PyObject*, PyObject* type_args) {
    return one_type_arg_item(type_args, Type(), Make, Message).release();
}

// Equality of a spec whose type is not resolved yet: its `forward_refs`
// equal the other's.
[[nodiscard]] int equal_forward_refs(const SpecEngine& engine, PyObject* other);

// Compatibility of a class: the receiver's type is not resolved, or the
// other's `type_resolved` is falsy, or `is_subclass(other.ClassAttr,
// mine_cls)` holds.
template <py::Literal ClassAttr>
[[nodiscard]] int compatible_class(const SpecEngine& engine, PyObject* mine_cls,
                                   PyObject* other) {
    const int resolved = type_resolved(engine);
    if (resolved != 1) return resolved < 0 ? -1 : 1;
    py::Ref theirs_resolved = py::get_attr<"type_resolved">(other);
    if (!theirs_resolved) return -1;
    const int truthy = PyObject_IsTrue(theirs_resolved.get());
    if (truthy != 1) return truthy < 0 ? -1 : 1;
    py::Ref theirs = py::get_attr<ClassAttr>(other);
    if (!theirs) return -1;
    return call_is_subclass(theirs.get(), mine_cls);
}

// The extension of a class kind: nothing is inherited, the base must accept
// the child; "{child} cannot extend {base}: incompatible {what}." otherwise.
[[nodiscard]] int extend_by_compatibility(PyObject* child, PyObject* base, const char* what);

}  // namespace vesk::typing
