// The texts that messages and text forms of the typing layer quote: the
// path of a value, a message with its path, a repr, a compiled pattern, and
// the re-raised failure of a user transform or validator.
//
// None of them adds a message of its own: every error raised by a Python call
// they make propagates unchanged. A null Ref means an exception is set.
#pragma once

#include "py/ref.hpp"

namespace vesk::typing {

// What a message writes for an absent path (null or None): the apply
// engine's messages the empty text, the schema drivers' "None".
enum class NoPath : bool { Empty, None };

// The text by which a message names `path`: str(path), except that a KeyPath
// holding a key without UTF-8 text (a lone surrogate) is rendered with
// backslash escapes instead of raising UnicodeEncodeError. Every message of
// the typing layer that names a path takes it from here.
[[nodiscard]] py::Ref path_text_of(PyObject* path, NoPath absent = NoPath::Empty);

// "{message} (path={path_text})".
[[nodiscard]] py::Ref message_on_path(PyObject* message, PyObject* path_text);
[[nodiscard]] py::Ref message_on_path(const char* message, PyObject* path_text);
// repr(obj) as a str; an exception of `__repr__` propagates.
[[nodiscard]] py::Ref py_repr(PyObject* obj);

// The exception to raise for a failed user transform: a new exception of
// `caught`'s class made from the one message "{str(caught)} (path={path})",
// with `caught` chained as its `__cause__`. When the class cannot be made
// from one message (its constructor wants other arguments or raises), or
// str(caught) fails, `caught` itself is returned, so the real failure is
// never hidden behind the re-creation error. Never null.
[[nodiscard]] py::Ref wrap_transform_error(PyObject* caught, PyObject* path_text);

// The `pattern` of a compiled regular expression as a str: 1 with `out`
// set, 0 for null or None, -1 on error (a pattern that is not a str, a bytes
// pattern, is a TypeError).
[[nodiscard]] int regex_pattern_str(PyObject* regex, py::Ref& out);

}  // namespace vesk::typing
