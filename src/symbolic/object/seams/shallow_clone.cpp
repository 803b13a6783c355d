// The shallow clone of a symbolic object: a new root of the same class whose
// field dictionary is a copy of the source's. Symbolic containers are
// cloned, since a container belongs to one owner; nested objects and records
// stay shared, which is what makes the clone shallow.
#include "kernel/record/slots.hpp"
#include "py/dict_cursor.hpp"
#include "py/args.hpp"
#include "py/hold.hpp"
#include "py/lazy.hpp"
#include "py/named.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/object_bridge.hpp"
#include "symbolic/object/class_facts.hpp"
#include "symbolic/object/object_state.hpp"
#include "symbolic/object/seams/seam_ops.hpp"

#include <utility>
#include <vector>

namespace vesk::symbolic::object {

namespace {

struct Flags {
    bool sealed = false;
    bool allow_partial = false;
    bool accessor_writable = true;
};

// A copy of the source's field dictionary and its three flags; `copy` stays
// null for a blank object.
[[nodiscard]] bool copy_fields(PyObject* obj, py::Ref& copy, Flags& flags) {
    py::Ref fields;
    {
        py::Shared<ObjectState> held(obj);
        if (!held) return false;
        fields = held->fields;
        flags = {held->node.sealed, held->node.allow_partial, held->node.accessor_writable};
    }
    if (!fields) return true;
    copy = py::Ref::steal(PyDict_Copy(fields.get()));
    return static_cast<bool>(copy);
}

// Whether any value of `fields` keeps a tree of its own: 1, 0 or -1.
[[nodiscard]] int holds_topology_aware(PyObject* fields) {
    py::DictCursor cursor(fields);
    py::Ref key, value;
    for (int step; (step = cursor.next(key, value)) != 0;) {
        if (step < 0) return -1;
        const int aware = is_topology_aware(value.get());
        if (aware != 0) return aware;
    }
    return 0;
}

// Replaces, in `fields`, every symbolic value that is neither an object nor
// a record by its `sym_clone()`. The clones are collected first and stored
// after the walk, so the walk never sees its own stores.
[[nodiscard]] bool clone_symbolic_values(PyObject* fields) {
    std::vector<std::pair<py::Ref, py::Ref>> clones;
    py::DictCursor cursor(fields);
    py::Ref key, value;
    for (int step; (step = cursor.next(key, value)) != 0;) {
        if (step < 0) return false;
        PyObject* v = value.get();
        if (is_primitive(v) || is_sym_object(v) || kernel::record::is_record(v)) continue;
        const int symbolic = is_symbolic(v);
        if (symbolic < 0) return false;
        if (!symbolic) continue;
        py::Ref clone = py::call_method<"sym_clone">(v);
        if (!clone) return false;
        clones.emplace_back(key, std::move(clone));
    }
    for (auto& [k, clone] : clones) {
        if (PyDict_SetItem(fields, k.get(), clone.get()) < 0) return false;
    }
    return true;
}

// `type(obj).__new__(type(obj))`, which must be a SymObject.
[[nodiscard]] py::Ref allocate_like(PyObject* obj) {
    PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    py::Ref new_fn = py::get_attr<"__new__">(cls);
    if (!new_fn) return {};
    py::Ref made = py::Ref::steal(PyObject_CallOneArg(new_fn.get(), cls));
    if (!made || !py::expect_instance(made.get(), sym_object_type())) return {};
    return made;
}

}  // namespace

bool clone_inline_shallow(PyObject* obj, py::Ref& out) {
    out.reset();
    // The copy is taken before it is examined, so a value another thread
    // stores meanwhile is either in the examined copy or not in the clone.
    py::Ref fields;
    Flags flags;
    if (!copy_fields(obj, fields, flags)) return false;
    if (!fields) return true;
    const int topo = enable_topo_of(obj);
    if (topo < 0) return false;
    if (topo) {
        const int aware = holds_topology_aware(fields.get());
        if (aware != 0) return aware > 0;
    }
    if (!clone_symbolic_values(fields.get())) return false;
    const ObjectBridge* b = object_bridge();
    if (!b) return false;
    py::Ref made = allocate_like(obj);
    if (!made) return false;
    Released released;
    py::Ref old_fields;
    {
        py::Exclusive<ObjectState> held(made.get());
        if (!held) return false;
        old_fields = std::exchange(held->fields, std::move(fields));
        held->node.clear_refs(released);
        held->node.path = b->empty_key_path;
        held->node.sealed = flags.sealed;
        held->node.allow_partial = flags.allow_partial;
        held->node.accessor_writable = flags.accessor_writable;
    }
    out = std::move(made);
    return true;
}

}  // namespace vesk::symbolic::object
