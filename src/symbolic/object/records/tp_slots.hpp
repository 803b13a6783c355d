// Native type slots for the package's generated classes: two `tp_init`
// functions (dictionary-layout objects, `slots=True` records) and three
// `tp_getattro` functions (generic with the package's inferential
// fallback; fast, reading a SymObject's field dictionary first; and one
// for records, reading field cells directly), the installers that write
// them into a class, and the probes that tell which slot a class carries.
//
// Every slot runs its body through a trampoline: a Python error of the
// body passes through unchanged, an internal failure (a broken contract,
// a conflicting borrow; slot_failure.hpp) becomes RuntimeError "panic in
// native slot". Each slot function is one fixed function for the process,
// so the probes compare a class's slot with it.
//
// The installers refuse anything but a type, and an immutable type
// (TypeError): the slots are for the package's own classes, which it
// creates and then annotates. The fast getattro reads the SymObject state
// of its instances, so only a SymObject subclass may carry it.
#pragma once

#include "py/python.hpp"

namespace vesk::kernel {

// The module table entries, in binding order: the probes and installers
// that follow the node-state functions, then the generic attribute
// functions that follow the record builders.
extern PyMethodDef tp_slot_functions[];
extern PyMethodDef generic_attribute_functions[];

}  // namespace vesk::kernel
