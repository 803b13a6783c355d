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

namespace {

// What the view of an object is made of, read in one hold.
struct ViewFacts {
    py::Ref fields, path;
    bool sealed = false;
    bool allow_partial = false;
};

// False with an exception; a blank object has no view.
bool read_view_facts(PyObject* obj, ViewFacts& out) {
    {
        py::Shared<ObjectState> held(obj);
        if (!held) return false;
        out.fields = held->fields;
        out.path = held->node.path;
        out.sealed = held->node.sealed;
        out.allow_partial = held->node.allow_partial;
    }
    if (out.fields) return true;
    raise_naming_type(obj, PyExc_AttributeError, "'%U' object has no attribute '_sym_attributes'");
    return false;
}

using dict::Members;

// The view of `entries` (a dict), parented to the object: of the members
// as they sit (null without an exception where one would be placed), or
// adopting them.
py::Ref made_view(PyObject* obj, PyObject* entries, const ViewFacts& f, const CtorMeta& meta,
                  Members members) {
    PyObject* sym_fields = meta.sym_fields.get();
    dict::ObjectAttributesArgs a;
    a.entries = entries;
    a.spec = sym_fields == Py_None ? nullptr : sym_fields;
    a.allow_partial = f.allow_partial;
    a.sealed = f.sealed;
    a.enable_topo = meta.topo;
    a.root_path = f.path.get();
    // The children already sit under the object: shared, not cloned, and
    // parented once the view is (below).
    a.owner = obj;
    a.parent = obj;
    a.parent_set_by_caller = true;
    // Taken as they sit, the members name the object already, and the view
    // has it as parent from its making: no call hands it on to them, which
    // would place again a member another thread's write has let go since.
    if (members == Members::AsTheySit) return dict::read_object_attributes(a);
    py::Ref view = dict::build_object_attributes(a);
    if (!view || !py::call_method<"topo_setparent">(view.get(), obj)) return {};
    return view;
}

}  // namespace

py::Ref sym_attributes(PyObject* obj) {
    ViewFacts f;
    if (!read_view_facts(obj, f)) return {};
    CtorMetaRef meta = ctor_meta(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    if (!meta || !object_bridge()) return {};
    // A read: where adopting each field's value under the object would
    // change nothing (every value a write or a construction stored sits
    // there), the view is made of the fields as they sit, read once,
    // claiming nothing and calling no member's hook, so readers never
    // refuse one another, nor the writes under the object.
    {
        py::Ref entries = py::Ref::steal(PyDict_Copy(f.fields.get()));
        if (!entries) return {};
        py::Ref view = made_view(obj, entries.get(), f, *meta, Members::AsTheySit);
        if (view || PyErr_Occurred()) return view;
    }
    // A value the view would place (stamp, clone or refuse) makes it a
    // write: the object is claimed as a placement claims it, and its
    // ancestors as a write under it claims them (claim.hpp), so a placement
    // or re-path of the object, or of a node above it, meeting it is
    // refused at once, whichever comes second, as a record's first use of
    // its view is.
    ClaimScope claims;
    if (claims.tree(obj) < 0 || claims.exclusive(obj) < 0 || !read_view_facts(obj, f)) return {};
    return made_view(obj, f.fields.get(), f, *meta, Members::Adopted);
}

}  // namespace vesk::symbolic::object
