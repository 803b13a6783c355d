// The rebinding write: the package rebinds many fields, then notifies once,
// so each write skips the permission gates and makes no notification of its
// own.
#include "symbolic/object/writes/attribute_write.hpp"
#include "symbolic/object_bridge.hpp"
#include "symbolic/object/object_state.hpp"
#include "symbolic/object/seams/seam_ops.hpp"
#include "symbolic/object/writes/store_field.hpp"

namespace vesk::symbolic::object {

namespace {

// The symbolic write of `key`: 1 done (`update` null when nothing changed),
// 0 not a symbolic write of a constructed object, -1 error.
[[nodiscard]] int write_symbolic(PyObject* obj, PyObject* key, PyObject* value,
                                 py::Ref& update) {
    py::Ref name = py::Ref::steal(PyObject_Str(key));
    if (!name) return -1;
    WriteClass kind;
    if (!classify_write(Py_TYPE(obj), name.get(), kind)) return -1;
    if (!kind.symbolic || !kind.field) return 0;
    WriteCtx ctx;
    const int built = write_ctx(obj, kind.enable_topo, kind.schema, ctx);
    if (built <= 0) return built;
    std::optional<ClaimScope> claims;
    return inline_write_field(obj, key, value, kind.field, ctx, claims, update) < 0 ? -1 : 1;
}

}  // namespace

py::Ref set_item_no_check(PyObject* obj, PyObject* key, PyObject* value) {
    if (is_sym_object(obj)) {
        py::Ref update;
        const int done = write_symbolic(obj, key, value, update);
        if (done < 0) return {};
        if (done) return update ? update : py::Ref::borrow(Py_None);
    }
    // Not a symbolic write, or a blank object, whose `_sym_attributes` read
    // raises the blank-object error.
    return delegate_set_item_via_sym_attributes(obj, key, value);
}

}  // namespace vesk::symbolic::object
