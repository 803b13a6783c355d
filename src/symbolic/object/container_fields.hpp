// `_container_candidate_fields(cls)` and `_container_wrap_fields(cls)`: the
// names (a list of str, in init-field order) of a class's init fields whose
// value spec is a native List, Tuple or Dict spec without a transform, and
// whose values are stored raw (candidate) or wrapped into symbolic
// containers (wrap). The class's ObjectCtorMeta is built afresh for the
// call and not cached.
#pragma once

#include "py/python.hpp"

namespace vesk::symbolic::object {

extern PyMethodDef container_field_functions[];

}  // namespace vesk::symbolic::object
