// The text form of a KeyPathSet: its members laid out by the formatting
// service under the label "KeyPathSet".
#pragma once

#include "py/ref.hpp"

namespace vesk::topology {

// `format(**kwargs)` of the set whose trie is `root`: the keyword values
// `kwvalues` are named by `kwnames` (both null when there are none). The
// keywords pass on to `kvlist_str` as given; "label" among them is a
// TypeError.
[[nodiscard]] py::Ref format_key_path_set(PyObject* root, PyObject* const* kwvalues,
                                          PyObject* kwnames);

// The `str()` form: compact False, verbose True.
[[nodiscard]] py::Ref format_key_path_set_verbose(PyObject* root);

}  // namespace vesk::topology
