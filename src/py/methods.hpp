// Method, getter and slot table entries. Each one registers the guarded
// entry (entry.hpp) of a plain native function, so nothing registered
// through these tables can let a C++ exception reach the interpreter.
//
// The calling convention follows from the function's signature:
//   PyObject* f(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
//               PyObject* kwnames)                  METH_FASTCALL | METH_KEYWORDS
//   PyObject* f(PyObject* self)                     METH_NOARGS
//   PyObject* f(PyObject* self, PyObject* arg)      METH_O
// Getters are `PyObject* get(PyObject* self)`, setters
// `int set(PyObject* self, PyObject* value)`. In every shape `self` may be
// replaced by a declared hold on the receiver's State (hold.hpp), which the
// entry takes before the call.
//
//   PyMethodDef methods[] = {py::method<kp_copy>("__copy__"), py::kMethodsEnd};
//   py::method<spec_apply>("apply", kApplyParams)   // the docstring from the Params
//   py::one_arg_method<set_path, kSetPathParams>("topo_setpath")  // path=... too
//   py::function<install>(kInstallParams, "Installs ...")        // a module function
//   PyGetSetDef getters[] = {py::getter<get_depth>("depth"), py::kGettersEnd};
//   py::read_only<get_size>("size")     // neither assigned nor deleted
//   py::slot<Py_tp_hash, kp_hash>()
//
// The entries hold function pointers cast to the interpreter's generic
// types, which the language does not allow in constant expressions: the
// tables are initialised when the library loads, before any import runs.
#pragma once

#include "py/args.hpp"
#include "py/hold.hpp"

#include <type_traits>

namespace vesk::py {

using FastcallFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using NoArgsFn = PyObject* (*)(PyObject*);
using OneArgFn = PyObject* (*)(PyObject*, PyObject*);
using GetterFn = PyObject* (*)(PyObject*);
using SetterFn = int (*)(PyObject*, PyObject*);

namespace detail {

template <auto Fn>
struct MethodShape {
    using F = decltype(plain<Fn>);
    static constexpr bool fastcall = std::is_convertible_v<F, FastcallFn> ||
        std::is_convertible_v<F, PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t,
                                               PyObject*) noexcept>;
    static constexpr bool noargs = std::is_convertible_v<F, NoArgsFn> ||
        std::is_convertible_v<F, PyObject* (*)(PyObject*) noexcept>;
    static constexpr bool onearg = std::is_convertible_v<F, OneArgFn> ||
        std::is_convertible_v<F, PyObject* (*)(PyObject*, PyObject*) noexcept>;
    static_assert(fastcall || noargs || onearg,
                  "a method is f(self), f(self, arg) or f(self, args, nargs, kwnames)");
};

// METH_NOARGS functions receive an unused second argument.
template <auto Fn>
PyObject* noargs_adapter(PyObject* self, PyObject*) {
    return Fn(self);
}

template <auto Fn>
[[nodiscard]] PyMethodDef method_def(const char* name, const char* doc, int extra_flags) noexcept {
    using Shape = MethodShape<Fn>;
    constexpr auto P = plain<Fn>;
    if constexpr (Shape::fastcall) {
        return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<P>)),
                METH_FASTCALL | METH_KEYWORDS | extra_flags, doc};
    } else if constexpr (Shape::noargs) {
        return {name, entry<&noargs_adapter<P>>, METH_NOARGS | extra_flags, doc};
    } else {
        return {name, entry<P>, METH_O | extra_flags, doc};
    }
}

template <auto Get>
PyObject* getter_adapter(PyObject* self, void*) {
    return plain<Get>(self);
}
template <auto Set>
int setter_adapter(PyObject* self, PyObject* value, void*) {
    return plain<Set>(self, value);
}

// Slots whose first argument may be an object of another class (binary
// number slots reflect), or is no instance at all: no hold can be declared.
[[nodiscard]] constexpr bool receiver_is_instance(int id) noexcept {
    switch (id) {
        case Py_tp_new: case Py_tp_alloc: case Py_tp_free: case Py_tp_dealloc:
        case Py_tp_traverse: case Py_tp_clear: case Py_tp_vectorcall:
        case Py_nb_add: case Py_nb_subtract: case Py_nb_multiply: case Py_nb_remainder:
        case Py_nb_divmod: case Py_nb_power: case Py_nb_lshift: case Py_nb_rshift:
        case Py_nb_and: case Py_nb_xor: case Py_nb_or: case Py_nb_floor_divide:
        case Py_nb_true_divide: case Py_nb_matrix_multiply:
            return false;
        default:
            return true;
    }
}

}  // namespace detail

namespace detail {
// The docstring of `Fn` registered as `name` and taking `params`; a function
// of one argument or none takes it positionally only.
template <auto Fn, std::size_t N>
[[nodiscard]] const char* doc_of(const char* name, Params<N>& params, Receiver receiver,
                                 const char* summary) {
    using Shape = MethodShape<Fn>;
    return signature_doc(name, params, receiver, summary, Shape::onearg || Shape::noargs);
}

// A function of one argument seen as a fast call that binds the argument
// through `P`, so that a caller may give it by name; the usual positional
// call goes straight through.
template <auto Fn, auto& P>
PyObject* one_arg_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    if (nargs == 1 && !kwnames) return plain<Fn>(self, args[0]);
    Args<1> a;
    if (!parse(P, args, nargs, kwnames, a)) return nullptr;
    return plain<Fn>(self, a[0]);
}
}  // namespace detail

// An instance method (or a module function: `self` is the module).
template <auto Fn>
[[nodiscard]] PyMethodDef method(const char* name, const char* doc = nullptr) noexcept {
    return detail::method_def<Fn>(name, doc, 0);
}
// The same, its docstring the text signature of `params` (args.hpp) and
// `summary`.
template <auto Fn, std::size_t N>
[[nodiscard]] PyMethodDef method(const char* name, Params<N>& params, const char* summary = "") {
    return detail::method_def<Fn>(
        name, detail::doc_of<Fn>(name, params, Receiver::Self, summary), 0);
}
// An instance method of one argument, `f(self, arg)`, that callers may give
// by position or by the name `P` (a Params of one parameter) gives it; its
// docstring is made from `P`.
template <auto Fn, auto& P>
[[nodiscard]] PyMethodDef one_arg_method(const char* name, const char* summary = "") {
    static_assert(detail::MethodShape<Fn>::onearg, "a one-argument method is f(self, arg)");
    static_assert(std::is_same_v<std::remove_cvref_t<decltype(P)>, Params<1>>,
                  "its Params names one parameter");
    return detail::method_def<&detail::one_arg_call<Fn, P>>(
        name, signature_doc(name, P, Receiver::Self, summary), 0);
}
// A module function (`self` is the module), named and documented by its
// Params; a function of one argument or none takes it positionally only.
template <auto Fn, std::size_t N>
[[nodiscard]] PyMethodDef function(Params<N>& params, const char* summary = "") {
    const char* name = params.view().func;
    return detail::method_def<Fn>(
        name, detail::doc_of<Fn>(name, params, Receiver::Module, summary), 0);
}
// A class method: `self` is the class.
template <auto Fn>
[[nodiscard]] PyMethodDef class_method(const char* name, const char* doc = nullptr) noexcept {
    static_assert(!detail::kHeld<Fn>, "a class method has no instance to hold");
    return detail::method_def<Fn>(name, doc, METH_CLASS);
}
template <auto Fn, std::size_t N>
[[nodiscard]] PyMethodDef class_method(const char* name, Params<N>& params,
                                       const char* summary = "") {
    static_assert(!detail::kHeld<Fn>, "a class method has no instance to hold");
    return detail::method_def<Fn>(
        name, detail::doc_of<Fn>(name, params, Receiver::Type, summary), METH_CLASS);
}
// A static method: `self` is null.
template <auto Fn>
[[nodiscard]] PyMethodDef static_method(const char* name, const char* doc = nullptr) noexcept {
    static_assert(!detail::kHeld<Fn>, "a static method has no instance to hold");
    return detail::method_def<Fn>(name, doc, METH_STATIC);
}
template <auto Fn, std::size_t N>
[[nodiscard]] PyMethodDef static_method(const char* name, Params<N>& params,
                                        const char* summary = "") {
    static_assert(!detail::kHeld<Fn>, "a static method has no instance to hold");
    return detail::method_def<Fn>(
        name, detail::doc_of<Fn>(name, params, Receiver::Static, summary), METH_STATIC);
}
inline constexpr PyMethodDef kMethodsEnd{nullptr, nullptr, 0, nullptr};

// A property; with `Set` null the interpreter refuses assigning and deleting
// it alike ("... is not writable"), where `read_only` below refuses a
// deletion as the properties with a setter do.
template <auto Get, auto Set = nullptr>
[[nodiscard]] PyGetSetDef getter(const char* name, const char* doc = nullptr) noexcept {
    static_assert(std::is_convertible_v<decltype(detail::plain<Get>), GetterFn>,
                  "a getter is PyObject* get(PyObject* self)");
    if constexpr (std::is_null_pointer_v<decltype(Set)>) {
        return {name, entry<&detail::getter_adapter<Get>>, nullptr, doc, nullptr};
    } else {
        static_assert(std::is_convertible_v<decltype(detail::plain<Set>), SetterFn>,
                      "a setter is int set(PyObject* self, PyObject* value)");
        return {name, entry<&detail::getter_adapter<Get>>, entry<&detail::setter_adapter<Set>>,
                doc, nullptr};
    }
}
namespace detail {
// The setter of a read-only property: deletion is refused with "property
// has no deleter", as the properties with a setter refuse it; assignment as
// the interpreter refuses a property without a setter, naming the class that
// defines it. `closure` is the property's name.
int refuse_write(PyObject* self, PyObject* value, void* closure) noexcept;
}  // namespace detail

// A property that is read only: neither assigned nor deleted.
template <auto Get>
[[nodiscard]] PyGetSetDef read_only(const char* name, const char* doc = nullptr) noexcept {
    static_assert(std::is_convertible_v<decltype(detail::plain<Get>), GetterFn>,
                  "a getter is PyObject* get(PyObject* self)");
    return {name, entry<&detail::getter_adapter<Get>>, &detail::refuse_write, doc,
            const_cast<char*>(name)};
}
inline constexpr PyGetSetDef kGettersEnd{nullptr, nullptr, nullptr, nullptr, nullptr};

// A type slot holding the guarded entry of `Fn`.
template <int Id, auto Fn>
[[nodiscard]] PyType_Slot slot() noexcept {
    static_assert(!detail::kHeld<Fn> || detail::receiver_is_instance(Id),
                  "this slot's first argument is not always an instance: take holds in the body");
    return {Id, reinterpret_cast<void*>(entry<detail::plain<Fn>>)};
}
// The same through `panic_entry`: for slots where an internal error must
// surface as "panic in native slot".
template <int Id, auto Fn>
[[nodiscard]] PyType_Slot panic_slot() noexcept {
    static_assert(!detail::kHeld<Fn> || detail::receiver_is_instance(Id),
                  "this slot's first argument is not always an instance: take holds in the body");
    return {Id, reinterpret_cast<void*>(panic_entry<detail::plain<Fn>>)};
}

}  // namespace vesk::py
