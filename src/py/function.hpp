// Method-table helpers for native functions.
#pragma once

#include "py/python.hpp"

namespace vesk::py {

using FastcallFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using NoArgsFn = PyObject* (*)(PyObject*, PyObject*);

inline constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// A PyMethodDef entry for a fast-call function with keywords.
[[nodiscard]] inline PyMethodDef fastcall(const char* name, FastcallFn fn,
                                          const char* doc = nullptr) noexcept {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), kFastcall, doc};
}
// A PyMethodDef entry for a fast-call class method (receives the class).
[[nodiscard]] inline PyMethodDef classmethod(const char* name, FastcallFn fn,
                                             const char* doc = nullptr) noexcept {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
            kFastcall | METH_CLASS, doc};
}
// A PyMethodDef entry for a function taking no arguments.
[[nodiscard]] inline PyMethodDef noargs(const char* name, NoArgsFn fn,
                                        const char* doc = nullptr) noexcept {
    return {name, fn, METH_NOARGS, doc};
}
inline constexpr PyMethodDef kMethodsEnd{nullptr, nullptr, 0, nullptr};

}  // namespace vesk::py
