#include "symbolic/object/partial.hpp"

#include "py/dict_cursor.hpp"
#include "py/named.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/object_bridge.hpp"
#include "symbolic/object/ctor_meta.hpp"
#include "symbolic/object/object_state.hpp"

namespace vesk::symbolic::object {

namespace {

using hooks::Partial;

// A symbolic field value the entry declined: the truth of its `sym_partial`.
Partial read_partial_attr(PyObject* value) {
    py::Ref partial = py::get_attr<"sym_partial">(value);
    if (!partial) return Partial::Error;
    const int truth = PyObject_IsTrue(partial.get());
    return truth < 0 ? Partial::Error : truth ? Partial::Yes : Partial::No;
}

Partial fields_partial(PyObject* fields, PyTypeObject* missing_type) {
    py::DictCursor cursor(fields);
    py::Ref key, value;
    for (int step; (step = cursor.next(key, value)) != 0;) {
        if (step < 0) return Partial::Error;
        if (Py_IS_TYPE(value.get(), missing_type)) return Partial::Yes;
        if (is_primitive(value.get())) continue;
        const int symbolic = is_symbolic(value.get());
        if (symbolic < 0) return Partial::Error;
        if (!symbolic) continue;
        Partial nested = sym_partial_native(value.get());
        if (nested == Partial::Declined) nested = read_partial_attr(value.get());
        if (nested != Partial::No) return nested;
    }
    return Partial::No;
}

}  // namespace

// Decides for a symbolic object whose class keeps the default `sym_missing`:
// partial when a field value, at any depth of symbolic children, is the
// missing value. Each level of nesting is guarded, so an object that holds
// itself ends in RecursionError instead of exhausting the stack.
hooks::Partial sym_partial_native(PyObject* value) {
    if (!is_sym_object(value)) return Partial::Declined;
    CtorMetaRef meta = ctor_meta(reinterpret_cast<PyObject*>(Py_TYPE(value)));
    if (!meta) return Partial::Error;
    if (!meta->default_sym_missing) return Partial::Declined;
    py::Ref fields;
    if (!inline_storage(value, fields)) return Partial::Error;
    if (!fields) return Partial::Declined;
    const ObjectBridge* b = object_bridge();
    if (!b) return Partial::Error;
    if (Py_EnterRecursiveCall(" while testing a symbolic object for missing values"))
        return Partial::Error;
    const Partial r = fields_partial(fields.get(), Py_TYPE(b->missing_value.get()));
    Py_LeaveRecursiveCall();
    return r;
}

}  // namespace vesk::symbolic::object
