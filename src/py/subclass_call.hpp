// Calls of a class's subclasses without an argument tuple or keyword dict.
//
// A class's own vectorcall serves calls of that class only: the interpreter
// calls a subclass made in Python through `type.__call__`, which packs the
// arguments into a tuple and a keyword dict for `__new__` and `__init__`.
// On the free-threaded build that dict counts every keyword value, a spec
// shared by all threads among them, on a cache line every thread writes.
// So the class's vectorcall is offered to a subclass the first time it is
// constructed the slow way, and serves a call only while the subclass still
// makes and initialises its instances with the class's own `__new__` and
// `__init__`: any other call (either overridden, now or later) goes through
// the metaclass's own call as before, so what a call does never changes.
#pragma once

#include "py/args.hpp"
#include "py/layout.hpp"
#include "py/python.hpp"

namespace vesk::py {

// Whether `type` makes and initialises instances as `base` does.
[[nodiscard]] inline bool constructs_as(PyTypeObject* type, PyTypeObject* base) noexcept {
    return type->tp_new == base->tp_new && type->tp_init == base->tp_init;
}

// Gives `type`, a subclass of `base` made in Python, `base`'s vectorcall,
// when it constructs as `base` does and has none yet. Threads constructing
// a class at once may each store it: they store the same function.
void offer_vectorcall(PyTypeObject* type, PyTypeObject* base) noexcept;

// The call of `type` as its metaclass makes it (`type.__call__`), from a
// vector call's arguments; new reference or null.
[[nodiscard]] PyObject* call_through_metaclass(PyObject* type, PyObject* const* args,
                                               size_t nargsf, PyObject* kwnames);

// A class's `__init__`: `init` with the arguments parsed by `params`, the
// class's vectorcall offered to the instance's class first.
template <std::size_t N>
[[nodiscard]] int init_from_tuple(PyTypeObject* base, Params<N>& params,
                                  int (*init)(PyObject*, const Args<N>&), PyObject* self,
                                  PyObject* args, PyObject* kwds) {
    offer_vectorcall(Py_TYPE(self), base);
    TupleArgs<N> a;
    if (!parse(params, args, kwds, a)) return -1;
    return init(self, a);
}

// A class's vectorcall: an instance made as the class's own `__new__` makes
// it, then initialised by `init` with the call's arguments parsed by
// `params`, as `__init__` would from a tuple and a dict; any other call
// through the metaclass. New reference or null.
template <class State, std::size_t N>
[[nodiscard]] PyObject* construct_from_vector(PyTypeObject* base, Params<N>& params,
                                              int (*init)(PyObject*, const Args<N>&),
                                              PyObject* callable, PyObject* const* args,
                                              size_t nargsf, PyObject* kwnames) {
    auto* type = reinterpret_cast<PyTypeObject*>(callable);
    if (!constructs_as(type, base)) return call_through_metaclass(callable, args, nargsf, kwnames);
    Ref self = alloc<State>(type);
    if (!self) return nullptr;
    Args<N> a;
    if (!parse(params, args, PyVectorcall_NARGS(nargsf), kwnames, a) || init(self.get(), a) < 0)
        return nullptr;
    return self.release();
}

}  // namespace vesk::py
