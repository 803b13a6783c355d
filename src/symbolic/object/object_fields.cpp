// A SymObject's fields: the blank-object guard, the raw field read with
// inferential resolution, the native re-pathing of its children and the
// transient `_sym_attributes` view.
#include "symbolic/object/object_state.hpp"

#include "kernel/record/inferential.hpp"
#include "py/dict_cursor.hpp"
#include "py/hold.hpp"
#include "py/named.hpp"
#include "symbolic/claim.hpp"
#include "symbolic/dict/dict_ops.hpp"
#include "symbolic/errors.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/node_ops.hpp"
#include "symbolic/object_bridge.hpp"
#include "symbolic/object/class_facts.hpp"
#include "symbolic/object/ctor_meta.hpp"
#include "topology/key_path.hpp"

namespace vesk::symbolic::object {

namespace {

// Raises `exc` with `format` naming the short name of `obj`'s class.
void raise_naming_type(PyObject* obj, PyObject* exc, const char* format) {
    py::Ref name = py::Ref::steal(PyType_GetName(Py_TYPE(obj)));
    if (name) PyErr_Format(exc, format, name.get());
}

}  // namespace

bool inline_storage(PyObject* obj, py::Ref& out) {
    py::Shared<ObjectState> held(obj);
    if (!held) return false;
    out = held->fields;
    return true;
}

void raise_not_initialised(PyObject* obj) {
    raise_naming_type(obj, PyExc_ValueError, "%U.__init__ should call `super().__init__`.");
}

int node_read_guard(PyObject* obj) {
    bool blank = false;
    {
        py::Shared<ObjectState> held(obj);
        if (!held) return -1;
        blank = is_blank(*held);
    }
    if (blank) raise_not_initialised(obj);
    return blank ? -1 : 0;
}

int update_children_paths_native(PyObject* obj, PyObject* new_path) {
    return repath_members(kObjectNode, obj, new_path, nullptr);
}

py::Ref topo_field(PyObject* obj, PyObject* name) {
    py::Ref fields;
    if (!inline_storage(obj, fields)) return {};
    if (!fields) {
        PyErr_SetString(PyExc_AttributeError, "_sym_attributes");
        return {};
    }
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(fields.get(), name, &found) < 0) return {};
    py::Ref value = py::Ref::steal(found);
    if (!value) {
        raise_with_arg(PyExc_KeyError, name);
        return {};
    }
    const int inferential = is_inferential(value.get());
    if (inferential <= 0) return inferential < 0 ? py::Ref() : value;
    const int topo = enable_topo_of(obj);
    if (topo < 0) return {};
    if (!topo) return kernel::record::raise_contextual_attribute_error(obj, name);
    return py::call_method<"infer">(value.get());
}

py::Ref sym_attributes(PyObject* obj) {
    // The view places the object's children under the object's path as it
    // reads it: the object is claimed as a placement claims it, and its
    // ancestors as a write under it claims them (claim.hpp), so a placement
    // or re-path of the object, or of a node above it, meeting the view's
    // making is refused at once, whichever comes second, as a record's
    // view's first use is.
    ClaimScope claims;
    if (claims.tree(obj) < 0 || claims.exclusive(obj) < 0) return {};
    py::Ref fields, path;
    bool sealed = false;
    bool allow_partial = false;
    {
        py::Shared<ObjectState> held(obj);
        if (!held) return {};
        fields = held->fields;
        path = held->node.path;
        sealed = held->node.sealed;
        allow_partial = held->node.allow_partial;
    }
    if (!fields) {
        raise_naming_type(obj, PyExc_AttributeError,
                          "'%U' object has no attribute '_sym_attributes'");
        return {};
    }
    CtorMetaRef meta = ctor_meta(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    if (!meta || !object_bridge()) return {};
    PyObject* sym_fields = meta->sym_fields.get();
    dict::ObjectAttributesArgs a;
    a.entries = fields.get();
    a.spec = sym_fields == Py_None ? nullptr : sym_fields;
    a.allow_partial = allow_partial;
    a.sealed = sealed;
    a.enable_topo = meta->topo;
    a.root_path = path.get();
    // The children already sit under the object: shared, not cloned, and
    // parented once the view is (below).
    a.owner = obj;
    a.parent = obj;
    a.parent_set_by_caller = true;
    py::Ref view = dict::build_object_attributes(a);
    if (!view || !py::call_method<"topo_setparent">(view.get(), obj)) return {};
    return view;
}

}  // namespace vesk::symbolic::object
