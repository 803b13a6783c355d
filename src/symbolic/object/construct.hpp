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

// Runs the construction core: fills the field dictionary, adopts children,
// seeds the node state and runs the construction hooks. 0 or -1.
[[nodiscard]] int construct(const ConstructRequest& request);

}  // namespace vesk::symbolic::object
