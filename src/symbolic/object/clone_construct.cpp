// Construction of a symbolic object from the already validated values of a
// clone: the package's clone builds the values, this constructs the new
// instance around them, copies its non-symbolic attributes from the source,
// runs the construction hooks and seals it.
#include "symbolic/object/object_state.hpp"
#include "symbolic/object/seam_ops.hpp"

namespace vesk::symbolic::object {

int clone_construct(PyObject* obj, bool allow_partial, bool sealed, PyObject* kwargs,
                    const CloneSource& clone) {
    if (!is_sym_object(obj)) return 0;
    ConstructRequest request;
    request.self = obj;
    request.sealed = sealed ? SealedArg::Yes : SealedArg::No;
    request.kwargs = kwargs;
    request.allow_partial = allow_partial;
    request.clone = &clone;
    return construct(request) < 0 ? -1 : 1;
}

}  // namespace vesk::symbolic::object
