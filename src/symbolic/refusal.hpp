// Refused writes and located messages, as the symbolic containers and
// objects raise them: a message given the location of a node through a
// bridge's `message_on_path`, and a refusal raised as the exception the
// bridge's `write_permission_error` makes of its message.
#pragma once

#include "py/ref.hpp"

namespace vesk::symbolic {

// What a location call must answer.
enum class Located : unsigned char {
    Str,        // a str, else the binding layer's conversion TypeError
    Converted,  // anything, made a str by `str()`
};

// `message_on_path(text, path)` (a null `path` passes None).
[[nodiscard]] py::Ref located(PyObject* message_on_path, PyObject* text, PyObject* path,
                              Located as);

// Raises what `write_permission_error(message)` makes (errors.hpp:
// raise_made). Always -1.
int refuse_with(PyObject* write_permission_error, PyObject* message);

// A container's refusal: the container bridge's factory, the message `text`
// located at `path` by its `message_on_path` when `locate`. Always -1.
int refuse_container_write(PyObject* path, const char* text, bool locate);

// Raises `exc_type` with `text` located at `path` by the container bridge.
// Always -1.
int raise_located(PyObject* path, PyObject* exc_type, PyObject* text);
// The same with the text made from `format` (PyUnicode_FromFormat).
int raise_located_format(PyObject* path, PyObject* exc_type, const char* format, ...);

}  // namespace vesk::symbolic
