// Native entries into the formatting service for other subsystems.
//
// Both go through the module's own `format` and `kvlist_str` function
// objects, cached when the module executes, so a native caller behaves
// exactly like a Python caller (same argument handling, same defaults).
#pragma once

#include "py/ref.hpp"

namespace vesk::formatting {

// `kvlist_str(items, **kwargs)`: `items` is a list of key/value items (3-tuples
// of key, value and omit-when), `kwargs` a dict of kvlist_str keyword arguments
// (e.g. "label", "compact", "verbose", "root_indent", "bracket_type") or null
// for none. Returns the str; null with an exception set on failure, including
// a TypeError for a result that is not a str and the internal error
// "kvlist_str fn not initialized" before the module has executed.
[[nodiscard]] py::Ref call_kvlist_str(PyObject* items, PyObject* kwargs);

// `format(value, **kwargs)`: `kwargs` is a dict of format keyword arguments
// (e.g. "compact", "verbose", "root_indent", "list_wrap_threshold") or null for
// none. Returns the str; null with an exception set on failure, including a
// TypeError for a result that is not a str and the internal error
// "format fn not initialized" before the module has executed.
[[nodiscard]] py::Ref call_format(PyObject* value, PyObject* kwargs);

}  // namespace vesk::formatting
