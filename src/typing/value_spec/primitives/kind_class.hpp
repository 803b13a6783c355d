// What every concrete spec class shares beside the state SpecBase gives it:
// the conversion of the common constructor options, the members that copy a
// spec (`__copy__`, `__deepcopy__`, `skip_user_transform`) and the wrapping
// of a freshly built engine into an instance.
//
// Copies always produce an instance of the class that defines the member,
// never of a subclass through which it was reached: the members below are
// instantiated per class with that class's type accessor. Only `__new__`
// allocates an instance of the class it is called on.
//
// Locking: each member takes a shared hold of the source spec while it reads
// the engine ("Already mutably borrowed" while a mutator holds it) and
// releases it before returning. Errors: null with an exception set.
#pragma once

#include "typing/value_spec/engine/build.hpp"

#include <optional>

namespace vesk::typing::primitives {

// A type accessor: the class, built on first use (borrowed), or null with an
// exception set.
using TypeFn = PyTypeObject* (*)();

// The common constructor options as the parser bound them: borrowed, null
// when omitted.
struct CommonArgs {
    PyObject* default_value = nullptr;
    PyObject* default_factory = nullptr;
    PyObject* transform = nullptr;
    PyObject* is_noneable = nullptr;
    PyObject* frozen = nullptr;
    PyObject* strict = nullptr;
};

// Converts the common options: an omitted default is the bridge's missing
// value (an explicit None is a default of None); None and omission are the
// same for the factory and the transform; `is_noneable` and `frozen` must be
// bools; `strict` is unset for None or omitted, else a bool. False with the
// internal error "typing bridge not installed" or the binding layer's
// TypeError naming the parameter.
[[nodiscard]] bool convert_common(const CommonArgs& args, SpecCommon& out);

// `value` itself, or null for None (the kind arguments that treat an
// explicit None as omitted).
[[nodiscard]] inline PyObject* none_as_omitted(PyObject* value) noexcept {
    return value == Py_None ? nullptr : value;
}

// A new instance of `type` around a built engine; null when `engine` is
// empty (its exception is pending) or allocation fails.
[[nodiscard]] PyObject* wrap_built(PyTypeObject* type, std::optional<SpecEngine> engine);

// A getter's read of the kind payload `K` under a shared hold: `read(const
// K&)` returns a new reference; None when the spec holds another kind.
template <class K, class Read>
PyObject* read_kind(PyObject* self, Read read) {
    py::SharedBorrow hold(spec_borrow(self));
    if (!hold.acquire()) return nullptr;
    const K* kind = kind_as<K>(spec_engine(self).kind);
    if (!kind) return py::none();
    return read(*kind);
}

namespace detail {
PyObject* copy_as(PyTypeObject* type, PyObject* self);
PyObject* deepcopy_as(PyTypeObject* type, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames);
PyObject* skip_user_transform_as(PyTypeObject* type, PyObject* self);
}  // namespace detail

// `__copy__()`: a new spec sharing this spec's state by reference.
template <TypeFn Type>
PyObject* copy(PyObject* self) {
    PyTypeObject* type = Type();
    return type ? detail::copy_as(type, self) : nullptr;
}

// `__deepcopy__(memo)`: a deep copy through the standard memo protocol; the
// copy is registered before its parts are copied, so a reference back to
// this spec met on the way resolves to the copy.
template <TypeFn Type>
PyObject* deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyTypeObject* type = Type();
    return type ? detail::deepcopy_as(type, self, args, nargs, kwnames) : nullptr;
}

// Getter `skip_user_transform`: the spec itself when it has no transform,
// else a twin without it.
template <TypeFn Type>
PyObject* skip_user_transform(PyObject* self) {
    PyTypeObject* type = Type();
    return type ? detail::skip_user_transform_as(type, self) : nullptr;
}

}  // namespace vesk::typing::primitives
