// The class `SymObject`: the native base of every symbolic object. Its
// State holds the object's field dictionary (field name -> stored value, for
// every symbolic field) and its node state. An object whose field dictionary
// is absent is blank: made by `cls.__new__(cls)` without construction, or
// cleared by the collector.
//
// The State is read under the instance's shared hold and written under its
// exclusive hold (py/hold.hpp); no hold is kept while Python code runs. The
// field dictionary is a plain dict, read one entry at a time under its own
// lock.
#pragma once

#include "py/ref.hpp"
#include "symbolic/classes.hpp"
#include "symbolic/node.hpp"

namespace vesk::symbolic::object {

struct ObjectState {
    py::Ref fields;  // the field dictionary (a dict); null: a blank object
    SymNode node;

    template <class V>
    void visit(V&& v) {
        v(fields);
        node.visit(v);
    }
};

// What the blank-object guard refuses: no field dictionary, and no path
// either (construction sets the path before it fills the fields).
[[nodiscard]] inline bool is_blank(const ObjectState& s) noexcept {
    return !s.fields && !s.node.path;
}

// `sym_object_type()` and `is_sym_object(obj)` are declared with the other
// native classes, in symbolic/classes.hpp.

// --- operations of the object layer (`obj` must be a SymObject) --------------

// The field dictionary (null for a blank object) in `out`; false when the
// object is held for a write.
[[nodiscard]] bool inline_storage(PyObject* obj, py::Ref& out);

// The blank-object guard: passes when the field dictionary is present, or
// only the path (construction sets the path first); otherwise ValueError
// "{}.__init__ should call `super().__init__`.". 0 or -1.
[[nodiscard]] int node_read_guard(PyObject* obj);

// ValueError "{type name}.__init__ should call `super().__init__`.": an
// instance allocated but never constructed.
void raise_not_initialised(PyObject* obj);

// Re-paths the field values that keep a tree under `new_path`: each
// topology-aware value whose lenient topology flag is set gets
// `topo_setpath(child_key_path(key, new_path))`. Nothing for a blank
// object. 0 or -1.
[[nodiscard]] int update_children_paths_native(PyObject* obj, PyObject* new_path);

// `_topo_field(name)`: the raw field value, an inferential one resolved
// (its `infer()` under a topo=True class, the contextual-attribute error
// under topo=False). A blank object raises AttributeError "_sym_attributes",
// a name not in the fields KeyError(name).
[[nodiscard]] py::Ref topo_field(PyObject* obj, PyObject* name);

// `_sym_attributes`: a new SymDict view of the fields (the object bridge's
// `dict_cls`), parented to the object and never kept by it. A blank object
// raises AttributeError "'{}' object has no attribute '_sym_attributes'".
[[nodiscard]] py::Ref sym_attributes(PyObject* obj);

}  // namespace vesk::symbolic::object
