// Ways to make a SymDict other than `__init__`: the wrap builder (a raw dict
// turned into a symbolic one, for the wrap-node hook and object
// construction), the object-attributes builder (the dictionary view of a
// symbolic object's fields), and the one-pass clone of an all-primitive
// schemaless dictionary.
#include "symbolic/dict/dict_ops.hpp"

#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/dict_cursor.hpp"
#include "py/hold.hpp"
#include "py/write_span.hpp"
#include "symbolic/adoption.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/calls.hpp"
#include "symbolic/classes.hpp"
#include "symbolic/in_place.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/object_bridge.hpp"
#include "symbolic/policy.hpp"

#include <utility>
#include <vector>

namespace vesk::symbolic::dict {

namespace {

// `cls.__new__(cls)`, which must make a SymDict.
py::Ref new_instance(PyObject* cls) { return new_container(cls, sym_dict_type()); }

}  // namespace

py::Ref wrap_dict(PyObject* cls, PyObject* raw, PyObject* spec, bool allow_partial,
                  PyObject* path, PyObject* parent) {
    py::Ref self = new_instance(cls);
    if (!self) return {};
    bool ok = true;
    py::Ref origin = default_origin(ok);
    if (!ok) return {};
    {
        Released node_refs;
        py::Ref origin_dropped, spec_dropped;
        py::Exclusive<DictState> held(self.get());
        if (!held) return {};
        held->node.reset_for_construction(py::Ref::borrow(none_as_absent(path)), allow_partial,
                                          true, false, node_refs);
        origin_dropped = std::exchange(held->node.origin, std::move(origin));
        spec_dropped = std::exchange(held->value_spec, py::Ref::borrow(none_as_absent(spec)));
        held->wrap = true;
        held.release();
    }
    if (PyDict_Update(self.get(), raw) < 0) return {};
    // A wrap that fails gives each child it placed back its place.
    AdoptionLog log(self.get());
    std::vector<std::pair<py::Ref, py::Ref>> members;
    {
        py::DictCursor cursor(self.get());
        py::Ref k, v;
        for (int step; (step = cursor.next(k, v)) != 0;) {
            if (step < 0) return {};
            if (!is_primitive(v.get())) members.emplace_back(k, v);
        }
    }
    // The members' hooks meet the new dictionary closed to their writes
    // (py/write_span.hpp).
    const py::WriteSpan closed(self.get(), py::WriteSpan::Mode::Closed);
    for (const auto& [key, value] : members) {
        py::Ref adopted = assign_child(self.get(), key.get(), value.get(), nullptr);
        if (!adopted) return {};
        if (adopted.get() != value.get() && PyDict_SetItem(self.get(), key.get(), adopted.get()) < 0)
            return {};
    }
    if (parent && store_parent<DictState>(self.get(), parent) < 0) return {};
    log.keep();
    return self;
}

py::Ref build_object_attributes(const ObjectAttributesArgs& args) {
    const object::ObjectBridge* b = object::object_bridge();
    if (!b) return {};
    py::Ref self = new_instance(b->dict_cls.get());
    if (!self) return {};
    ConstructOptions o;
    o.root_path = args.root_path;
    o.clone_owner = args.owner;
    o.parent = args.parent;
    o.allow_partial = args.allow_partial;
    o.sealed = args.sealed;
    o.as_object_attributes_container = true;
    o.enable_topo = args.enable_topo;
    o.parent_set_by_caller = args.parent_set_by_caller;
    o.mode = args.raw ? Mode::Raw : Mode::PassThrough;
    if (construct_into(self.get(), args.entries, args.spec, o) < 0) return {};
    return self;
}

py::Ref read_object_attributes(const ObjectAttributesArgs& args) {
    // What the pass-through road would adopt each member with.
    PyObject* root = args.root_path;
    if (!root) {
        const ContainerBridge* b = container_bridge();
        if (!b) return {};
        root = b->empty_key_path.get();
    }
    py::Ref schema = policy_schema(args.spec);
    AdoptArgs adopt;
    adopt.adopting = args.enable_topo;
    adopt.owner_path = root;
    adopt.container = args.owner;
    adopt.parent_to_set = args.parent ? args.parent : Py_None;
    adopt.parent_set_by_caller = args.parent_set_by_caller;
    py::DictCursor cursor(args.entries);
    py::Ref k, v;
    for (int step; (step = cursor.next(k, v)) != 0;) {
        py::Ref policy;
        if (step < 0 || !field_policy(schema.get(), k.get(), nullptr, policy)) return {};
        adopt.key = k.get();
        adopt.policy = policy.get();
        const int stays = stays_in_place(v.get(), adopt);
        if (stays <= 0) return {};
    }
    // Sealed, the view is marked so alone: sealing it would seal its
    // members again, a write into them beside another thread's seal.
    ObjectAttributesArgs as_they_sit = args;
    as_they_sit.raw = true;
    as_they_sit.sealed = false;
    py::Ref view = build_object_attributes(as_they_sit);
    if (view && args.sealed) {
        py::Exclusive<DictState> held(view.get());
        if (!held) return {};
        held->node.sealed = true;
    }
    return view;
}

PyObject* clone_if_primitive(PyObject* self) {
    py::Ref schema;
    if (bound_schema(self, schema) < 0) return nullptr;
    if (schema) return py::none();
    py::Ref values = py::Ref::steal(PyDict_Values(self));
    if (!values) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(values.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::Ref v = py::list_item(values.get(), i);
        if (!v) break;
        if (!is_primitive(v.get())) return py::none();
    }
    py::Ref clone = new_instance(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    if (!clone || PyDict_Update(clone.get(), self) < 0) return nullptr;
    bool ok = true;
    py::Ref origin = default_origin(ok);
    const ContainerBridge* b = ok ? container_bridge() : nullptr;
    if (!b) return nullptr;
    {
        Released node_refs;
        py::Ref origin_dropped, spec_dropped, callback_dropped;
        py::Exclusive<DictState> target(clone.get());
        if (!target) return nullptr;
        py::Shared<DictState> source(self);
        if (!source) return nullptr;
        const SymNode& from = source->node;
        target->node.reset_for_construction(b->empty_key_path, from.allow_partial,
                                            from.accessor_writable, from.sealed, node_refs);
        origin_dropped = std::exchange(target->node.origin, std::move(origin));
        spec_dropped = std::exchange(target->value_spec, source->value_spec);
        callback_dropped = std::exchange(target->onchange_callback, source->onchange_callback);
        target->wrap = source->wrap;
    }
    return clone.release();
}

}  // namespace vesk::symbolic::dict
