#include "symbolic/refusal.hpp"

#include "py/args.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/errors.hpp"
#include "symbolic/node.hpp"

#include <cstdarg>

namespace vesk::symbolic {

py::Ref located(PyObject* message_on_path, PyObject* text, PyObject* path, Located as) {
    PyObject* call[] = {text, or_none(path)};
    py::Ref message = py::Ref::steal(PyObject_Vectorcall(message_on_path, call, 2, nullptr));
    if (!message) return {};
    if (as == Located::Converted) return py::Ref::steal(PyObject_Str(message.get()));
    return py::arg_str("message", message.get()) ? message : py::Ref();
}

int refuse_with(PyObject* write_permission_error, PyObject* message) {
    py::Ref made = py::Ref::steal(PyObject_CallOneArg(write_permission_error, message));
    if (made) raise_made(made.get());
    return -1;
}

int refuse_container_write(PyObject* path, const char* text, bool locate) {
    const ContainerBridge* b = container_bridge();
    if (!b) return -1;
    py::Ref message = py::Ref::steal(PyUnicode_FromString(text));
    if (message && locate)
        message = located(b->message_on_path.get(), message.get(), path, Located::Str);
    return message ? refuse_with(b->write_permission_error.get(), message.get()) : -1;
}

int raise_located(PyObject* path, PyObject* exc_type, PyObject* text) {
    const ContainerBridge* b = container_bridge();
    if (!b) return -1;
    py::Ref message = located(b->message_on_path.get(), text, path, Located::Str);
    if (message) PyErr_SetObject(exc_type, message.get());
    return -1;
}

int raise_located_format(PyObject* path, PyObject* exc_type, const char* format, ...) {
    va_list va;
    va_start(va, format);
    py::Ref text = py::Ref::steal(PyUnicode_FromFormatV(format, va));
    va_end(va);
    return text ? raise_located(path, exc_type, text.get()) : -1;
}

}  // namespace vesk::symbolic
