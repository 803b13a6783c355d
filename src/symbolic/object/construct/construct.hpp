// Keyword construction of a symbolic object: what `SymObject.__init__`, the
// native initialiser and the clone-construct seam hand to the construction
// core.
#pragma once

#include "py/python.hpp"

namespace vesk::symbolic::object {

enum class SealedArg : unsigned char { Unspecified, No, Yes };

// A construction by cloning: the source object, whether the copy is deep,
// and the `copy.deepcopy` memo.
struct CloneSource {
    PyObject* source = nullptr;
    bool deep = false;
    PyObject* memo = nullptr;
};

struct ConstructRequest {
    PyObject* self = nullptr;       // a SymObject
    SealedArg sealed = SealedArg::Unspecified;
    PyObject* root_path = nullptr;  // null: none
    bool explicit_init = false;
    PyObject* kwargs = nullptr;     // a dict, or null for none
    bool allow_partial = false;
    const CloneSource* clone = nullptr;
};

// Runs the construction core: resets the node state, screens the keywords,
// fills the field dictionary (compiled fill, else the init schema), adopts
// the children, seeds the non-symbolic fields, runs the construction hooks
// and seals when asked. 0, or -1 with the exception set and the object left
// blank (no field dictionary). The object bridge must be installed.
[[nodiscard]] int construct(const ConstructRequest& request);

// `SymObject.__init__`'s keyword step: removes "allow_partial" from
// `request.kwargs` (a dict the caller owns, or null), which must then be
// exactly a bool, and runs the core. 0 or -1.
[[nodiscard]] int construct_with_keywords(ConstructRequest request);

// The native initialiser, the body of the native `tp_init` slot (the
// kernel's trampoline calls it; `tp_init`'s arguments as the interpreter
// passes them). Positional arguments go to the class's Python `__init__`
// (which must raise); otherwise "sealed", "root_path" and "explicit_init"
// are removed from `kwds` and converted (their failures raised as they
// come), and every failure of the construction itself is replaced by what
// the object bridge's `prepare_construct_error` makes of it. 0 or -1.
[[nodiscard]] int native_init(PyObject* self, PyObject* args, PyObject* kwds);

}  // namespace vesk::symbolic::object
