// The package's seams over records (`_slot_record_*`): construction of the
// cells, node-state seeding, child adoption, raw reads, the node read with
// the blank-record diagnostic, materialisation of the `_sym_attributes`
// view and re-pathing. Each takes the record first.
#pragma once

#include "py/python.hpp"

namespace vesk::symbolic::object {

// The module table entries, in binding order: the record functions that
// follow the object seams, then `_slot_record_construct`, which follows
// the JSON seams.
extern PyMethodDef record_functions[];
extern PyMethodDef record_construct_functions[];

}  // namespace vesk::symbolic::object
