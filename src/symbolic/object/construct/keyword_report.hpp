// The report of unexpected keywords of a construction, shared by records
// and dictionary-layout objects, and the keyword dict that validation gets
// once ignored keywords are dropped. The wording of the counts and lists is
// the package's (the object bridge's `auto_plural` and
// `comma_delimited_str`).
#pragma once

#include "py/ref.hpp"

namespace vesk::symbolic::object {

// Reports the unexpected keywords `names` (a non-empty list) of a call of
// `cls`. When the class's `__extra_ignore__` is truthy they are ignored
// (0), except that an unexpected str keyword that `_sym_alias_maps[0]`
// maps to a field raises the reserved-alias TypeError; otherwise TypeError
// "{cls}.__init__() got unexpected keyword {argument(s)}: {names}" (-1).
[[nodiscard]] int report_unexpected_keywords(PyObject* cls, PyObject* names);

// Raises TypeError "{cls}.__init__() got keyword argument '{keyword}', which
// is reserved as the alias of field '{field}'." and answers -1.
int raise_reserved_alias(PyObject* cls, PyObject* keyword, PyObject* field);

// A new dict: `kwargs` without the keys of the list `dropped`. The caller's
// dict stays whole: it may be the caller's own or one a hook returned.
[[nodiscard]] py::Ref without_keys(PyObject* kwargs, PyObject* dropped);

}  // namespace vesk::symbolic::object
