#include "symbolic/container/topology.hpp"

#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/dict_cursor.hpp"
#include "py/hold.hpp"
#include "symbolic/adoption.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/calls.hpp"
#include "symbolic/checked_change.hpp"
#include "symbolic/child_state.hpp"
#include "symbolic/claim.hpp"
#include "symbolic/container/list_items.hpp"
#include "symbolic/container/properties.hpp"
#include "symbolic/container/sorting.hpp"
#include "symbolic/container/state.hpp"
#include "symbolic/container/dict_reads.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/method_params.hpp"
#include "symbolic/momentary.hpp"
#include "symbolic/node_ops.hpp"
#include "symbolic/node_roles.hpp"
#include "symbolic/origin.hpp"
#include "symbolic/policy.hpp"
#include "symbolic/repath_walk.hpp"
#include "symbolic/slots.hpp"

#include <cstdint>
#include <type_traits>

namespace vesk::symbolic {

namespace {

// A list being sorted holds no items meanwhile (sorting.hpp): none to seal
// or re-path. True with the refusal raised.
template <class S>
[[nodiscard]] bool refused_while_sorting(PyObject* self) noexcept {
    if constexpr (std::is_same_v<S, ListState>)
        return refused_by_sort(self);
    else
        return false;
}

// The kind's NodeOps table.
template <class S>
[[nodiscard]] const NodeOps& node_ops_of() noexcept {
    return std::is_same_v<S, DictState> ? kDictNode : kListNode;
}

// How each kind walks its members.
template <class S>
struct Members;

template <>
struct Members<DictState> {
    // The values as they are when the walk starts, each read under the
    // snapshot's lock; `f(value)` answers 0 or -1.
    template <class F>
    static int each_value(PyObject* self, F&& f) {
        py::Ref values = py::Ref::steal(PyDict_Values(self));
        if (!values) return -1;
        const Py_ssize_t n = PyList_GET_SIZE(values.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            py::Ref v = py::list_item(values.get(), i);
            if (!v) break;
            if (f(v.get()) < 0) return -1;
        }
        return 0;
    }
    // (key, value) in the dictionary's symbolic order; `f(key, value)`.
    template <class F>
    static int each_keyed(PyObject* self, F&& f) {
        py::Ref items = dict::items_list(self);
        if (!items) return -1;
        const Py_ssize_t n = PyList_GET_SIZE(items.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            py::Ref pair = py::list_item(items.get(), i);
            if (!pair) break;
            if (f(PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1)) < 0) return -1;
        }
        return 0;
    }
};

template <>
struct Members<ListState> {
    // Each index below the length at the start, its item read when its turn
    // comes; an index that vanished meanwhile is an IndexError.
    template <class F>
    static int each_keyed(PyObject* self, F&& f) {
        const Py_ssize_t n = PyList_GET_SIZE(self);
        for (Py_ssize_t i = 0; i < n; ++i) {
            py::Ref item = item_or_index_error(self, i);
            if (!item) return -1;
            py::Ref key = py::Ref::steal(PyLong_FromSsize_t(i));
            if (!key || f(key.get(), item.get()) < 0) return -1;
        }
        return 0;
    }
    template <class F>
    static int each_value(PyObject* self, F&& f) {
        return each_keyed(self, [&f](PyObject*, PyObject* v) { return f(v); });
    }
};

// A dictionary that holds an object's attributes hands a new parent on to
// its children, except those whose field keeps them by reference and those
// already under it.
int pass_parent_on(PyObject* self, PyObject* parent) {
    py::Ref spec, fallback;
    {
        py::Shared<DictState> held(self);
        if (!held) return -1;
        if (!held->as_object_attributes_container || !held->enable_topo) return 0;
        spec = held->value_spec;
        fallback = held->assign;
    }
    py::Ref schema = dict::policy_schema(spec.get());
    WalkScope walk(self);
    py::DictCursor cursor(self);
    py::Ref k, v;
    for (int step; (step = cursor.next(k, v)) != 0;) {
        if (step < 0) return -1;
        const int topo_aware = is_topology_aware(v.get());
        if (topo_aware < 0) return -1;
        if (!topo_aware || !lenient_topology_flag(v.get())) continue;
        py::Ref policy;
        if (!field_policy(schema.get(), k.get(), fallback.get(), policy)) return -1;
        if (parse_policy(policy.get()) == Policy::Ref) continue;
        py::Ref current;
        const int native = native_parent(v.get(), current);
        if (native < 0) return -1;
        if (native && current && current.get() == parent) continue;
        walk.visiting(v.get());
        const int r = call_method_void<"topo_setparent">(v.get(), parent);
        walk.visiting(nullptr);
        if (r < 0) return -1;
    }
    return 0;
}

}  // namespace

template <class S>
int seal_container(PyObject* self, bool is_seal) {
    if (refused_while_sorting<S>(self)) return -1;
    {
        py::Shared<S> held(self);
        if (!held) return -1;
        if (held->node.sealed == is_seal) return 0;
    }
    // Claimed for its whole work (claim.hpp): a write of another thread in
    // flight on the container or below it refuses the seal at once, or is
    // refused by it; one that read the seal before and stores after finds
    // the container's count moved on (below) and fails at once, having
    // changed nothing. So a write never stores after the seal returned.
    ClaimScope claims;
    if (claims.exclusive(self) < 0) return -1;
    PyObject* flag = is_seal ? Py_True : Py_False;
    const int children = Members<S>::each_value(self, [flag](PyObject* v) {
        const int symbolic = is_symbolic(v);
        if (symbolic <= 0) return symbolic;
        const int topo = strict_topology_flag(v);
        if (topo <= 0) return topo;
        return call_method_void<"sym_seal">(v, flag);
    });
    if (children < 0) return -1;
    return change_checked<S>(claims, self, self, [is_seal](S& s) { s.node.sealed = is_seal; });
}

template <class S>
int repath_children(PyObject* self, PyObject* new_path) {
    if (refused_while_sorting<S>(self)) return -1;
    ClaimedCall call;
    if (call.enter(self) < 0) return -1;
    const ContainerBridge* b = container_bridge();
    if (!b) return -1;
    const int is_path = PyObject_IsInstance(new_path, b->keypath_cls.get());
    if (is_path <= 0) {
        if (is_path == 0) PyErr_SetNone(PyExc_AssertionError);
        return -1;
    }
    {
        py::Shared<S> held(self);
        if (!held) return -1;
        if (!held->enable_topo) return 0;
    }
    return repath_members(node_ops_of<S>(), self, new_path, b->keypath_cls.get());
}

template <class S>
PyObject* sym_seal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    bool is_seal = true;
    if (!py::parse(kSymSealParams, args, nargs, kwnames, a)) return nullptr;
    if (a.given(0) && !py::arg_bool_scalar("is_seal", a[0], is_seal)) return nullptr;
    if (seal_container<S>(self, is_seal) < 0) return nullptr;
    return py::new_ref(self);
}

namespace {

// The node's path or parent stored by a topology call: under the call's
// claim (or that of the write or walk it serves) no other write changes the
// node, so another thread's hold of its state is a momentary one (a read, a
// flag set) and is waited out rather than failing the write that stamps or
// lets go the node. Read as `properties::read_ref_past_holds` reads it.
template <class S, properties::RefField F>
int store_ref(PyObject* self, PyObject* value) {
    return past_momentary_holds(
        [&] { return properties::set_ref<S, F>(py::Scoped<S>(self), value); });
}

}  // namespace

template <class S>
int set_path(PyObject* self, PyObject* path) {
    py::Ref current;
    if (properties::read_ref_past_holds<S, properties::RefField::Path>(self, current) < 0)
        return -1;
    PyObject* given = or_none(path);
    const int differs = PyObject_RichCompareBool(or_none(current), given, Py_NE);
    if (differs <= 0) return differs;
    if (refused_while_sorting<S>(self)) return -1;
    // The node and what it holds are re-pathed alone (claim.hpp), and once
    // in a walk (repath_walk.hpp).
    ClaimedCall call;
    if (call.enter(self) < 0) return -1;
    // Read again under the claim: another thread's call may have stamped
    // the node meanwhile, and the path a refused walk gives back is the one
    // the node has now.
    if (properties::read_ref_past_holds<S, properties::RefField::Path>(self, current) < 0)
        return -1;
    if (current.get() == given) return 0;
    RepathStep step;
    if (const int go = step.enter(self, current.get(), given); go <= 0)
        return go;
    if (store_ref<S, properties::RefField::Path>(self, given) < 0) return -1;
    return repath_children<S>(self, given);
}

template <class S>
int set_parent(PyObject* self, PyObject* parent) {
    PyObject* given = or_none(parent);
    ClaimedCall call;
    if (call.enter(self) < 0) return -1;
    // Stamping the parent a container already has writes nothing.
    py::Ref current;
    if (properties::read_ref_past_holds<S, properties::RefField::Parent>(self, current) < 0)
        return -1;
    if (or_none(current) != given) {
        if (store_ref<S, properties::RefField::Parent>(self, given) < 0) return -1;
    }
    if constexpr (std::is_same_v<S, DictState>) return pass_parent_on(self, given);
    return 0;
}

template <class S>
PyObject* topo_setpath(PyObject* self, PyObject* path) {
    return set_path<S>(self, path) < 0 ? nullptr : py::none();
}

template <class S>
PyObject* update_children_paths(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kUpdateChildrenPathsParams, args, nargs, kwnames, a)) return nullptr;
    if (repath_children<S>(self, a[1]) < 0) return nullptr;
    return py::none();
}

template <class S>
PyObject* topo_setparent(PyObject* self, PyObject* parent) {
    return set_parent<S>(self, parent) < 0 ? nullptr : py::none();
}

template <class S>
PyObject* sym_setorigin(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    py::Args<5> a;
    if (!py::parse(kSymSetOriginParams, args, nargs, kwnames, a)) return nullptr;
    std::int64_t top = 0;
    if (!arg_stacktop(a[4], top)) return nullptr;
    py::Ref stacktop = recorded_stacktop(top);
    if (!stacktop) return nullptr;
    // Decided and stored under one claim (claim.hpp): two threads recording
    // origins meet there, and one fails at once with the borrow refusal,
    // instead of both passing the test and the later replacing the other.
    ClaimScope claims;
    if (claims.exclusive(self) < 0) return nullptr;
    py::Ref origin;
    {
        py::Shared<S> held(self);
        if (!held) return nullptr;
        origin = held->node.origin;
    }
    if (check_origin_source(origin.get(), a[0]) < 0) return nullptr;
    const ContainerBridge* b = container_bridge();
    if (!b) return nullptr;
    py::Ref made = make_origin(b->origin_cls.get(), a[0], a[1], a[2], a[3], stacktop.get());
    if (!made) return nullptr;
    py::Ref dropped;
    // Another thread's momentary hold of the state is waited out.
    const int stored = past_momentary_holds([&] {
        py::Exclusive<S> held(self);
        if (!held) return -1;
        dropped = std::exchange(held->node.origin, std::move(made));
        return 0;
    });
    return stored < 0 ? nullptr : py::none();
}

PyObject* topo_parent_for_children(PyObject* self) {
    py::Shared<DictState> held(self);
    if (!held) return nullptr;
    return py::new_ref(held->as_object_attributes_container ? or_none(held->node.parent) : self);
}

#define VESK_CONTAINER_TOPOLOGY(S)                                                              \
    template int seal_container<S>(PyObject*, bool);                                            \
    template int repath_children<S>(PyObject*, PyObject*);                                      \
    template int set_path<S>(PyObject*, PyObject*);                                             \
    template int set_parent<S>(PyObject*, PyObject*);                                           \
    template PyObject* sym_seal<S>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);        \
    template PyObject* topo_setpath<S>(PyObject*, PyObject*);                                   \
    template PyObject* update_children_paths<S>(PyObject*, PyObject* const*, Py_ssize_t,       \
                                                PyObject*);                                     \
    template PyObject* topo_setparent<S>(PyObject*, PyObject*);                                 \
    template PyObject* sym_setorigin<S>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

VESK_CONTAINER_TOPOLOGY(DictState)
VESK_CONTAINER_TOPOLOGY(ListState)

#undef VESK_CONTAINER_TOPOLOGY

namespace {

template <class S>
int each_child(PyObject* self, ChildVisitor visit) {
    return Members<S>::each_keyed(self, visit);
}

}  // namespace

constinit const NodeOps kDictNode{
    .kind = "SymDict",
    .get_role = node_get_role<DictState>,
    .set_role = node_set_role<DictState>,
    .seal = seal_container<DictState>,
    .set_parent = set_parent<DictState>,
    .set_path = set_path<DictState>,
    .each_child = each_child<DictState>,
    .read_slot = dict_read_slot,
    .store_if = dict_store_if,
};

constinit const NodeOps kListNode{
    .kind = "SymList",
    .get_role = node_get_role<ListState>,
    .set_role = node_set_role<ListState>,
    .seal = seal_container<ListState>,
    .set_parent = set_parent<ListState>,
    .set_path = set_path<ListState>,
    .each_child = each_child<ListState>,
    .read_slot = list_read_slot,
    .store_if = sym_list_store_if,
};

}  // namespace vesk::symbolic
