// The SymObject class: its cell, its two construction slots and the tables
// that make up its Python surface, in the order of the class's members.
#include "py/args.hpp"
#include "py/lazy.hpp"
#include "py/methods.hpp"
#include "py/type.hpp"
#include "symbolic/classes.hpp"
#include "symbolic/container/properties.hpp"
#include "symbolic/method_params.hpp"
#include "symbolic/node.hpp"
#include "symbolic/node_ops.hpp"
#include "symbolic/object/writes/attribute_write.hpp"
#include "symbolic/object_bridge.hpp"
#include "symbolic/object/class_facts.hpp"
#include "symbolic/object/construct/construct.hpp"
#include "symbolic/object/node_state.hpp"
#include "symbolic/object/object_state.hpp"
#include "symbolic/object/writes/store_field.hpp"
#include "symbolic/origin.hpp"

#include <utility>

namespace vesk::symbolic::object {

namespace {

using S = ObjectState;

py::TypeCell TYPE;


// --- construction -------------------------------------------------------------

PyObject* object_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    if (!PyTuple_Check(args)) {
        py::raise_arg_type("_args", "tuple", args);
        return nullptr;
    }
    if (kwds && !PyDict_Check(kwds)) {
        py::raise_arg_type("_kwargs", "dict", kwds);
        return nullptr;
    }
    return py::alloc<S>(type).release();
}

constexpr const char* kInitNames[] = {"sealed=None", "root_path=None", "explicit_init=False"};
py::Params kInitParams{"SymObject", kInitNames, 0, 0, py::Keywords::Collect};

// Whether a call's keyword dict names none of `__init__`'s own options, so
// it can serve as the construction's keywords as it is: 1, 0 or -1.
int only_field_keywords(PyObject* kwds) {
    PyObject* names[4];
    if (!py::intern<"sealed">(names[0]) || !py::intern<"root_path">(names[1]) ||
        !py::intern<"explicit_init">(names[2]) || !py::intern<"allow_partial">(names[3]))
        return -1;
    for (PyObject* name : names) {
        const int in = PyDict_Contains(kwds, name);
        if (in) return in < 0 ? -1 : 0;
    }
    return 1;
}

int object_init(PyObject* self, PyObject* args, PyObject* kwds) {
    // The common call, `Cls(x=..., y=...)`: the keywords go to the core as
    // they are, with no parse and no copy.
    if (kwds && PyTuple_Check(args) && PyTuple_GET_SIZE(args) == 0 && PyDict_CheckExact(kwds)) {
        const int plain = only_field_keywords(kwds);
        if (plain < 0) return -1;
        if (plain) {
            ConstructRequest request;
            request.self = self;
            request.kwargs = PyDict_GET_SIZE(kwds) ? kwds : nullptr;
            return construct(request);
        }
    }
    py::TupleArgs<3> a;
    if (!py::parse(kInitParams, args, kwds, a)) return -1;
    ConstructRequest request;
    request.self = self;
    if (PyObject* sealed = none_as_absent(a[0])) {
        bool b = false;
        if (!py::arg_bool_scalar("sealed", sealed, b)) return -1;
        request.sealed = b ? SealedArg::Yes : SealedArg::No;
    }
    request.root_path = none_as_absent(a[1]);
    if (a.given(2) && !py::arg_bool_scalar("explicit_init", a[2], request.explicit_init))
        return -1;
    py::Ref kwargs;
    if (!a.extra().empty()) {
        kwargs = py::Ref::steal(PyDict_New());
        if (!kwargs) return -1;
        for (const py::ExtraKeyword& kw : a.extra())
            if (PyDict_SetItem(kwargs.get(), kw.name, kw.value) < 0) return -1;
    }
    request.kwargs = kwargs.get();
    return construct_with_keywords(request);
}

// --- node-state properties ------------------------------------------------------

enum class NodeRef : unsigned char { Parent, Path, Origin };
enum class NodeFlag : unsigned char { Sealed, AllowPartial, AccessorWritable };

template <class St>
auto& ref_member(St& s, NodeRef r) noexcept {
    return r == NodeRef::Parent ? s.node.parent : r == NodeRef::Path ? s.node.path : s.node.origin;
}
template <class St>
auto& flag_member(St& s, NodeFlag f) noexcept {
    return f == NodeFlag::Sealed         ? s.node.sealed
           : f == NodeFlag::AllowPartial ? s.node.allow_partial
                                     : s.node.accessor_writable;
}

// Reads a node member after the blank-object guard; `read` makes the new
// reference under the shared hold and runs no Python code.
template <class Read>
PyObject* guarded(py::Scoped<S> self, Read read) {
    {
        auto held = self.shared();
        if (!held) return nullptr;
        if (!is_blank(*held)) return read(*held);
    }
    raise_not_initialised(self.object());
    return nullptr;
}

template <NodeRef R>
PyObject* get_ref(py::Scoped<S> self) {
    return guarded(self, [](const S& s) { return py::new_ref(or_none(ref_member(s, R))); });
}

template <NodeRef R>
int set_ref(py::Scoped<S> self, PyObject* value) {
    if (properties::refuse_delete(value)) return -1;
    py::Ref dropped;
    auto held = self.exclusive();
    if (!held) return -1;
    SymNode::store(ref_member(*held, R), value, dropped);
    held.release();
    return 0;
}

template <NodeFlag F>
PyObject* get_flag(py::Scoped<S> self) {
    return guarded(self, [](const S& s) { return py::boolean(flag_member(s, F)); });
}

// What a field write checks its permission against: set as `sym_seal` sets
// the seal, under the object's claim (change_flags).
template <NodeFlag F>
int set_flag(py::Scoped<S> self, PyObject* value) {
    bool b = false;
    if (properties::refuse_delete(value) || !py::arg_bool_scalar("v", value, b)) return -1;
    ClaimScope claims;
    return change_flags(claims, self.object(), [b](S& s) { flag_member(s, F) = b; });
}

// `topo_parent` / `topo_path`: for a class that keeps a tree only.
template <NodeRef R>
PyObject* get_topology(PyObject* self) {
    const int topo = enable_topo_of(self);
    const char* label = R == NodeRef::Parent ? "topo_parent" : "topo_path";
    if (topo < 0 || require_topo(self, topo != 0, label) < 0) return nullptr;
    return get_ref<R>(py::Scoped<S>(self));
}

PyObject* py_sym_attributes(PyObject* self) { return sym_attributes(self).release(); }

// --- methods --------------------------------------------------------------------

PyObject* py_topo_field(PyObject* self, PyObject* name) { return topo_field(self, name).release(); }

PyObject* py_node_read_guard(PyObject* self) {
    return node_read_guard(self) < 0 ? nullptr : py::none();
}

PyObject* py_topo_setparent(PyObject* self, PyObject* parent) {
    return kObjectNode.set_parent(self, none_as_absent(parent)) < 0 ? nullptr : py::none();
}

PyObject* py_topo_setpath(PyObject* self, PyObject* path) {
    return kObjectNode.set_path(self, none_as_absent(path)) < 0 ? nullptr : py::none();
}

PyObject* py_sym_seal(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    py::Args<1> a;
    bool is_seal = true;
    if (!py::parse(kSymSealParams, args, nargs, kwnames, a) ||
        (a.given(0) && !py::arg_bool_scalar("is_seal", a[0], is_seal)))
        return nullptr;
    return kObjectNode.seal(self, is_seal) < 0 ? nullptr : py::new_ref(self);
}

PyObject* py_sym_setorigin(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    py::Args<5> a;
    std::int64_t stacktop = -1;
    if (!py::parse(kSymSetOriginParams, args, nargs, kwnames, a) || !arg_stacktop(a[4], stacktop))
        return nullptr;
    if (set_origin(self, a[0], a[1], none_as_absent(a[2]), none_as_absent(a[3]), stacktop) < 0) return nullptr;
    return py::none();
}

PyObject* field_dict(const py::Shared<S>& self) { return py::new_ref(or_none(self->fields)); }

py::Params kTopoFieldParams{"_topo_field", {"name"}, 1, 1};
py::Params kNodeReadGuardParams{"node_read_guard"};
py::Params kFieldDictParams{"field_dict"};

PyMethodDef kMethods[] = {
    py::one_arg_method<py_topo_field, kTopoFieldParams>("_topo_field"),
    py::method<py_node_read_guard>("node_read_guard", kNodeReadGuardParams),
    py::one_arg_method<py_topo_setparent, kTopoSetParentParams>("topo_setparent"),
    py::one_arg_method<py_topo_setpath, kTopoSetPathParams>("topo_setpath"),
    py::method<py_sym_seal>("sym_seal", kSymSealParams),
    py::method<py_sym_setorigin>("sym_setorigin", kSymSetOriginParams),
    py::method<py_store_symbolic_field>("store_symbolic_field", kStoreSymbolicFieldParams),
    py::method<field_dict>("field_dict", kFieldDictParams),
    py::kMethodsEnd,
};

PyGetSetDef kGetters[] = {
    py::read_only<py_sym_attributes>("_sym_attributes"),
    py::getter<get_ref<NodeRef::Parent>, set_ref<NodeRef::Parent>>("_topo_parent"),
    py::getter<get_ref<NodeRef::Path>, set_ref<NodeRef::Path>>("_topo_path"),
    py::getter<get_flag<NodeFlag::AllowPartial>, set_flag<NodeFlag::AllowPartial>>(
        "_allow_partial"),
    py::getter<get_flag<NodeFlag::AccessorWritable>, set_flag<NodeFlag::AccessorWritable>>(
        "_accessor_writable"),
    py::getter<get_flag<NodeFlag::Sealed>, set_flag<NodeFlag::Sealed>>("_sealed"),
    py::getter<get_ref<NodeRef::Origin>, set_ref<NodeRef::Origin>>("_sym_origin"),
    py::read_only<get_topology<NodeRef::Parent>>("topo_parent"),
    py::read_only<get_topology<NodeRef::Path>>("topo_path"),
    py::kGettersEnd,
};

}  // namespace

PyTypeObject* sym_object_type() {
    return TYPE.get([](py::TypeDef& t) {
        t.name("vesk_core._native.SymObject")
            .doc(py::class_doc(kInitParams,
                               "The native base of symbolic objects: a field dictionary and "
                               "the node state."))
            .state<S>()
            .subclassable()
            .slots({
                py::slot<Py_tp_new, object_new>(),
                py::slot<Py_tp_init, object_init>(),
                // Uninstalled bridges surface as "panic in native slot".
                py::panic_slot<Py_tp_setattro, object_setattro>(),
            })
            .methods(kMethods)
            .getters(kGetters);
    });
}

bool is_sym_object(PyObject* obj) noexcept {
    PyTypeObject* type = TYPE.peek();
    return type && instance_of(obj, type);
}

}  // namespace vesk::symbolic::object
