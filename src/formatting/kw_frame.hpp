// One vectorcall frame reused for every call that shares a keyword set: the
// nested `format` call of each element of a container, or the one call of a
// formattable value's own `format`. Building it once per container keeps the
// per-element cost to a single vectorcall, with no dict built per call.
#pragma once

#include "py/args.hpp"

#include <vector>

namespace vesk::formatting {

class KwFrame {
public:
    // The keywords are `names[0:split]`, then the extra keywords, then
    // `names[split:]`, with `values` giving the named ones in `names` order.
    // `names` is a tuple of interned names (names.hpp). Values are borrowed:
    // the caller keeps them alive while the frame is used.
    [[nodiscard]] bool build(PyObject* names, PyObject* const* values, Py_ssize_t split,
                             const py::ExtraKeywords& extra);

    // fn(arg, **keywords), a new reference or null with an exception set.
    [[nodiscard]] py::Ref call(PyObject* fn, PyObject* arg);
    // self.name(**keywords).
    [[nodiscard]] py::Ref call_method(PyObject* self, PyObject* name);

private:
    // [scratch slot for the callee, the positional argument, keyword values...]
    std::vector<PyObject*> stack_;
    py::Ref kwnames_;
};

}  // namespace vesk::formatting
