// The report of unexpected keywords of a record construction, in the words
// of the dictionary-layout construction. The wording of the counts and
// lists is the package's (the object bridge's `auto_plural` and
// `comma_delimited_str`).
#pragma once

#include "py/python.hpp"

namespace vesk::symbolic::object {

// Reports the unexpected keywords `names` (a non-empty list) of a call of
// `cls`. When the class's `__extra_ignore__` is truthy they are ignored
// (0), except that an unexpected str keyword that `_sym_alias_maps[0]`
// maps to a field raises the reserved-alias TypeError; otherwise TypeError
// "{cls}.__init__() got unexpected keyword {argument(s)}: {names}" (-1).
[[nodiscard]] int report_unexpected_keywords(PyObject* cls, PyObject* names);

}  // namespace vesk::symbolic::object
