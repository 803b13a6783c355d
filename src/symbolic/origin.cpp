#include "symbolic/origin.hpp"

#include "py/args.hpp"
#include "py/lazy.hpp"
#include "symbolic/node.hpp"

#include <limits>

namespace vesk::symbolic {

bool arg_stacktop(PyObject* given, std::int64_t& out) {
    out = -1;
    return !given || py::arg_i64("stacktop", given, out);
}

py::Ref recorded_stacktop(std::int64_t stacktop) {
    if (stacktop == std::numeric_limits<std::int64_t>::min()) {
        PyErr_SetString(PyExc_OverflowError,
                        "argument 'stacktop': the recorded stacktop (stacktop - 1) does not fit "
                        "a signed 64-bit integer");
        return {};
    }
    return py::Ref::steal(PyLong_FromLongLong(stacktop - 1));
}

int check_origin_source(PyObject* current, PyObject* source) {
    if (!current) return 0;
    py::Ref current_source = py::get_attr<"source">(current);
    if (!current_source) return -1;
    if (current_source.get() == Py_None || current_source.get() == source) return 0;
    PyErr_Format(PyExc_ValueError,
                 "Cannot set the origin with a different source value. Origin source: %R, New "
                 "source: %R.",
                 current_source.get(), source);
    return -1;
}

py::Ref make_origin(PyObject* origin_cls, PyObject* source, PyObject* tag, PyObject* stacktrace,
                    PyObject* stacklimit, PyObject* recorded) {
    PyObject* call[] = {source, tag, or_none(stacktrace), or_none(stacklimit), recorded};
    return py::Ref::steal(PyObject_Vectorcall(origin_cls, call, 5, nullptr));
}

}  // namespace vesk::symbolic
