#include "symbolic/object/construct.hpp"

namespace vesk::symbolic::object {

// The construction core is not built yet: keyword construction is refused
// plainly instead of leaving a half-made object behind.
int construct(const ConstructRequest&) {
    PyErr_SetString(PyExc_NotImplementedError,
                    "keyword construction of symbolic objects is not available yet");
    return -1;
}

}  // namespace vesk::symbolic::object
