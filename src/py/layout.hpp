// The memory layout of a native instance, and its unchecked accessors.
//
// A native instance is `Object<State>`: the struct of the built-in class it
// extends, the borrow flag, then an ordinary C++ `State`. Most classes extend
// `object`, whose struct is the bare header. A State that names another base
//
//   struct Members { using Extends = py::DictBase; py::Ref spec; ... };
//
// extends `dict` (py::DictBase) or `list` (py::ListBase): the instance is then
// a real dict or list, its items kept in the base's own storage, with the
// borrow flag and the State after the base's struct.
#pragma once

#include "py/borrow.hpp"
#include "py/ref.hpp"

#include <new>
#include <type_traits>

namespace vesk::py {

// The built-in classes a declared type can extend.
struct ObjectBase {
    using Struct = PyObject;
    static PyTypeObject* type() noexcept { return &PyBaseObject_Type; }
};
struct DictBase {
    using Struct = PyDictObject;
    static PyTypeObject* type() noexcept { return &PyDict_Type; }
};
struct ListBase {
    using Struct = PyListObject;
    static PyTypeObject* type() noexcept { return &PyList_Type; }
};

// The base a State extends: its `Extends` member, else `object`.
template <class State>
struct BaseOf {
    using type = ObjectBase;
};
template <class State>
    requires requires { typename State::Extends; }
struct BaseOf<State> {
    using type = typename State::Extends;
};
template <class State>
using base_of_t = typename BaseOf<State>::type;

template <class State>
inline constexpr bool kExtendsBuiltin = !std::is_same_v<base_of_t<State>, ObjectBase>;

template <class Head, class State>
struct Instance {
    Head head;
    BorrowFlag borrow;
    [[no_unique_address]] State state;
};

template <class State>
using Object = Instance<typename base_of_t<State>::Struct, State>;

// Unchecked casts: `self` must be an instance of a type declared with State.
// Code reads the State only under a hold (hold.hpp).
template <class State>
[[nodiscard]] Object<State>* object(PyObject* self) noexcept {
    return reinterpret_cast<Object<State>*>(self);
}
template <class State>
[[nodiscard]] State& state(PyObject* self) noexcept {
    return object<State>(self)->state;
}
template <class State>
[[nodiscard]] BorrowFlag& borrow_flag(PyObject* self) noexcept {
    return object<State>(self)->borrow;
}

// A new instance of `type` (a type declared with State, or a subclass) with
// its State default-constructed; null with an exception set. An instance of
// a built-in base is made by that base's constructor, which sets up its
// storage (an empty dict or list) whatever arguments `tp_init` gets later.
template <class State>
[[nodiscard]] Ref alloc(PyTypeObject* type) {
    static_assert(std::is_nothrow_default_constructible_v<State>,
                  "a State is made without failing; fill it after alloc");
    Ref obj;
    if constexpr (kExtendsBuiltin<State>) {
        Ref no_args = Ref::steal(PyTuple_New(0));
        if (!no_args) return {};
        obj = Ref::steal(base_of_t<State>::type()->tp_new(type, no_args.get(), nullptr));
    } else {
        obj = Ref::steal(type->tp_alloc(type, 0));
    }
    if (!obj) return {};
    Object<State>* o = object<State>(obj.get());
    new (&o->borrow) BorrowFlag();
    new (&o->state) State();
    return obj;
}

}  // namespace vesk::py
