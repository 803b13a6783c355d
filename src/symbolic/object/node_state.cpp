#include "symbolic/object/node_state.hpp"

#include "kernel/record/slots.hpp"
#include "py/dict_cursor.hpp"
#include "py/hold.hpp"
#include "py/named.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/object/bridge.hpp"
#include "symbolic/object/object_state.hpp"
#include "symbolic/object/record_node.hpp"
#include "symbolic/origin.hpp"
#include "topology/key_path.hpp"

#include <utility>

namespace vesk::symbolic::object {

namespace record = kernel::record;

namespace {

enum class Layout : unsigned char { Object, Record, Other };

Layout layout_of(PyObject* inst) noexcept {
    if (is_sym_object(inst)) return Layout::Object;
    return record::is_record(inst) ? Layout::Record : Layout::Other;
}

int raise_not_a_node() {
    PyErr_SetString(PyExc_TypeError,
                    "node-state ABI: `inst` is neither a SymObject nor an inline-slot record");
    return -1;
}

[[nodiscard]] constexpr bool is_flag_role(std::uint64_t role) noexcept {
    return role >= kRoleSealed && role <= kRoleAccessorWritable;
}

// The truth a flag role stores: an empty value, or one whose truth test
// raises, counts as false.
bool stored_truth(PyObject* value) noexcept {
    if (!value) return false;
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) PyErr_Clear();
    return truth > 0;
}

// The reference or flag member behind a role (null for none); `S` is the
// State, const under a shared hold.
template <class S>
auto object_ref(S& s, std::uint64_t role) noexcept -> decltype(&s.node.parent) {
    switch (role) {
        case kRoleParent: return &s.node.parent;
        case kRolePath: return &s.node.path;
        case kRoleOrigin: return &s.node.origin;
        default: return nullptr;
    }
}

template <class S>
auto object_flag(S& s, std::uint64_t role) noexcept -> decltype(&s.node.sealed) {
    switch (role) {
        case kRoleSealed: return &s.node.sealed;
        case kRoleAllowPartial: return &s.node.allow_partial;
        case kRoleAccessorWritable: return &s.node.accessor_writable;
        default: return nullptr;
    }
}

int get_object_role(PyObject* inst, std::uint64_t role, py::Ref& out) {
    py::Shared<ObjectState> held(inst);
    if (!held) return -1;
    if (const py::Ref* ref = object_ref(*held, role))
        out = *ref;
    else if (const bool* flag = object_flag(*held, role))
        out = py::Ref::borrow(*flag ? Py_True : Py_False);
    else
        out.reset();
    return 0;
}

int set_object_role(PyObject* inst, std::uint64_t role, PyObject* value) {
    const bool truth = is_flag_role(role) && stored_truth(value);
    py::Ref dropped;  // released after the hold
    py::Exclusive<ObjectState> held(inst);
    if (!held) return -1;
    if (py::Ref* ref = object_ref(*held, role))
        dropped = std::exchange(*ref, py::Ref::borrow(value));
    else if (bool* flag = object_flag(*held, role))
        *flag = truth;
    held.release();
    return 0;
}

// A role holding a reference, with a stored None read as empty: the None
// object and an empty cell both mean "none" to the topology operations.
int get_ref_role(PyObject* inst, std::uint64_t role, py::Ref& out) {
    if (get_role(inst, role, out) < 0) return -1;
    if (out.get() == Py_None) out.reset();
    return 0;
}

// Whether `type(inst).Name` is not the bridge's `default_hook`: 1, 0 or -1.
template <py::Literal Name>
int type_overrides(PyObject* inst, PyObject* default_hook) {
    py::Ref hook = py::get_attr<Name>(reinterpret_cast<PyObject*>(Py_TYPE(inst)));
    if (!hook) return -1;
    return hook.get() != default_hook;
}

// Whether two key paths (either may be empty) are the same path.
int same_path(PyObject* a, PyObject* b) {
    if (!a || !b) return a == b;
    switch (topology::keypaths_eq(a, b)) {
        case topology::PathsEq::Error: return -1;
        case topology::PathsEq::Equal: return 1;
        case topology::PathsEq::NotEqual: return 0;
        case topology::PathsEq::NotBoth: break;
    }
    const int differs = PyObject_RichCompareBool(a, b, Py_NE);
    return differs < 0 ? -1 : !differs;
}

// `child.sym_seal(flag)` for a symbolic child that keeps a tree.
int seal_child(PyObject* child, PyObject* flag) {
    const int symbolic = is_symbolic(child);
    if (symbolic <= 0 || !lenient_topology_flag(child)) return symbolic;
    return py::call_method<"sym_seal">(child, flag) ? 0 : -1;
}

int seal_object(PyObject* inst, bool is_seal) {
    py::Ref fields;
    {
        py::Exclusive<ObjectState> held(inst);
        if (!held) return -1;
        if (held->node.sealed == is_seal) return 0;
        held->node.sealed = is_seal;
        fields = held->fields;
    }
    if (!fields) return 0;
    PyObject* flag = is_seal ? Py_True : Py_False;
    py::DictCursor cursor(fields.get());
    py::Ref key, value;
    for (int step; (step = cursor.next(key, value)) != 0;)
        if (step < 0 || seal_child(value.get(), flag) < 0) return -1;
    return 0;
}

int seal_record(PyObject* inst, bool is_seal) {
    PyObject* flag = is_seal ? Py_True : Py_False;
    py::Ref view;
    if (!record::read_view(inst, view)) return -1;
    if (view) {
        py::Ref attributes = py::get_attr<"_sym_attributes">(inst);
        if (!attributes || !py::call_method<"sym_seal">(attributes.get(), flag)) return -1;
    } else {
        NamedValues children;
        if (!record_symbolic_children(inst, children)) return -1;
        for (const auto& [name, child] : children)
            if (seal_child(child.get(), flag) < 0) return -1;
    }
    return record::set_role(inst, kRoleSealed, flag) ? 0 : -1;
}

}  // namespace

int get_role(PyObject* inst, std::uint64_t role, py::Ref& out) {
    switch (layout_of(inst)) {
        case Layout::Object: return get_object_role(inst, role, out);
        case Layout::Record: return record::get_role(inst, role, out) ? 0 : -1;
        case Layout::Other: break;
    }
    return raise_not_a_node();
}

int set_role(PyObject* inst, std::uint64_t role, PyObject* value) {
    switch (layout_of(inst)) {
        case Layout::Object: return set_object_role(inst, role, value);
        case Layout::Record:
            if (is_flag_role(role)) value = stored_truth(value) ? Py_True : Py_False;
            return record::set_role(inst, role, value) ? 0 : -1;
        case Layout::Other: break;
    }
    return raise_not_a_node();
}

int topology_gate(PyObject* inst, const NodeFacts& facts, const char* operation) {
    if (facts.topo_enabled) return 0;
    if (is_sym_object(inst)) return require_topo(inst, false, operation);
    py::Ref name = py::Ref::steal(PyUnicode_FromString(operation));
    if (!name) return -1;
    return py::call_method<"_require_topo">(inst, name.get()) ? 0 : -1;
}

int blank_guard(PyObject* inst) {
    switch (layout_of(inst)) {
        case Layout::Object: return node_read_guard(inst);
        case Layout::Record: return record_read_guard(inst);
        case Layout::Other: break;
    }
    return 0;
}

int set_parent(PyObject* inst, PyObject* parent) {
    NodeFacts facts;
    if (!node_facts(inst, facts) || topology_gate(inst, facts, "topo_setparent") < 0) return -1;
    py::Ref old;
    if (get_ref_role(inst, kRoleParent, old) < 0) return -1;
    // The parent it already has is not written again, so threads stamping
    // one shared child alike do not refuse each other's hold.
    if (old && old.get() == parent) return 0;
    if (set_role(inst, kRoleParent, parent) < 0) return -1;
    if (old.get() == parent) return 0;  // both empty
    bool overridden = facts.parent_change_overridden;
    if (!facts.decided) {
        const ObjectBridge* b = object_bridge();
        if (!b) return -1;
        const int r =
            type_overrides<"on_topo_parent_change">(inst, b->default_on_topo_parent_change.get());
        if (r < 0) return -1;
        overridden = r != 0;
    }
    if (!overridden) return 0;
    return py::call_method<"on_topo_parent_change">(inst, or_none(old), or_none(parent)) ? 0 : -1;
}

int set_path(PyObject* inst, PyObject* path, const NodeFacts& facts) {
    if (topology_gate(inst, facts, "topo_setpath") < 0 || blank_guard(inst) < 0) return -1;
    py::Ref old;
    if (get_ref_role(inst, kRolePath, old) < 0) return -1;
    const int same = same_path(old.get(), path);
    if (same != 0) return same < 0 ? -1 : 0;
    if (set_role(inst, kRolePath, path) < 0) return -1;
    const ObjectBridge* b = object_bridge();
    if (!b) return -1;
    const bool is_object = is_sym_object(inst);
    if (!is_object &&
        type_overrides<"_update_children_paths">(inst, b->default_update_children_paths.get()) < 0)
        return -1;
    if (!is_object || facts.update_children_overridden)
        return py::call_method<"_update_children_paths">(inst, or_none(old), or_none(path)) ? 0
                                                                                           : -1;
    const int is_path = PyObject_IsInstance(or_none(path), b->keypath_cls.get());
    if (is_path <= 0) {
        if (is_path == 0) PyErr_SetNone(PyExc_AssertionError);
        return -1;
    }
    if (update_children_paths_native(inst, path) < 0) return -1;
    if (!facts.path_change_overridden) return 0;
    return py::call_method<"on_topo_path_change">(inst, or_none(old), path) ? 0 : -1;
}

int set_origin(PyObject* inst, PyObject* source, PyObject* tag, PyObject* stacktrace,
               PyObject* stacklimit, std::int64_t stacktop) {
    py::Ref recorded = recorded_stacktop(stacktop);
    if (!recorded || blank_guard(inst) < 0) return -1;
    py::Ref old;
    if (get_ref_role(inst, kRoleOrigin, old) < 0 || check_origin_source(old.get(), source) < 0)
        return -1;
    const ObjectBridge* b = object_bridge();
    if (!b) return -1;
    py::Ref made =
        make_origin(b->origin_cls.get(), source, tag, stacktrace, stacklimit, recorded.get());
    return made ? set_role(inst, kRoleOrigin, made.get()) : -1;
}

int seal(PyObject* inst, bool is_seal) {
    if (blank_guard(inst) < 0) return -1;
    switch (layout_of(inst)) {
        case Layout::Object: return seal_object(inst, is_seal);
        case Layout::Record: return seal_record(inst, is_seal);
        case Layout::Other: break;
    }
    return raise_not_a_node();
}

}  // namespace vesk::symbolic::object
