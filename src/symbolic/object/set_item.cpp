// The rebinding write: the package rebinds many fields, then notifies once,
// so each write skips the permission gates and makes no notification of its
// own.
#include "symbolic/object/bridge.hpp"
#include "symbolic/object/object_state.hpp"
#include "symbolic/object/seam_ops.hpp"

namespace vesk::symbolic::object {

py::Ref set_item_no_check(PyObject* obj, PyObject* key, PyObject* value) {
    return delegate_set_item_via_sym_attributes(obj, key, value);
}

}  // namespace vesk::symbolic::object
