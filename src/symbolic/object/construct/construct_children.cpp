// The children of a new object: adopted into a class that keeps a tree,
// unstamped in one that does not.
#include "symbolic/object/construct/construct_steps.hpp"

#include "py/dict_cursor.hpp"
#include "py/errors.hpp"
#include "py/hold.hpp"
#include "py/named.hpp"
#include "symbolic/adoption.hpp"
#include "symbolic/claim.hpp"
#include "symbolic/child_state.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/object/class_facts.hpp"
#include "symbolic/object/node_state.hpp"
#include "symbolic/object/object_state.hpp"
#include "symbolic/policy.hpp"
#include "topology/key_path.hpp"

namespace vesk::symbolic::object {

namespace {

// The object's path, or the bridge's empty key path when it has none.
bool object_path(PyObject* self, const ObjectBridge& b, py::Ref& out) {
    py::Shared<ObjectState> held(self);
    if (!held) return false;
    out = held->node.path ? held->node.path : b.empty_key_path;
    return true;
}

// Whether `path` (may be null) is the path `expected`: 1, 0 or -1.
int is_path(PyObject* path, PyObject* expected) {
    if (!path) return 0;
    switch (topology::keypaths_eq(path, expected)) {
        case topology::PathsEq::Error: return -1;
        case topology::PathsEq::Equal: return 1;
        case topology::PathsEq::NotEqual: return 0;
        case topology::PathsEq::NotBoth: break;
    }
    return PyObject_RichCompareBool(path, expected, Py_EQ);
}

struct ChildPass {
    PyObject* self;
    PyObject* path;  // the object's path
    ClaimedSet claimed;
};

py::Ref adopt(ChildPass& a, PyObject* key, PyObject* value, PyObject* policy) {
    AdoptArgs args;
    args.key = key;
    args.adopting = true;
    args.owner_path = a.path;
    args.container = a.self;
    args.parent_to_set = a.self;
    args.claimed = &a.claimed;
    args.parent_set_by_caller = true;
    args.policy = policy;
    return adopt_child(value, args);
}

// A native container child already under this object at its path: 1, 0, -1.
int container_in_place(ChildPass& a, PyObject* key, PyObject* child) {
    ChildState state;
    if (read_child_state(child, state) < 0) return -1;
    if (state.parent.get() != a.self) return 0;
    py::Ref expected = topology::child_key_path(key, a.path);
    if (!expected) return -1;
    return is_path(state.path.get(), expected.get());
}

// The value to store under `key`: the child itself when it stays, else what
// adoption returns.
py::Ref adopt_one(ChildPass& a, PyObject* key, PyObject* value) {
    py::Ref policy;
    if (!class_field_policy(a.self, key, policy)) return {};
    if (policy) return adopt(a, key, value, policy.get());
    if (is_sym_object(value)) {
        CtorMetaRef meta = ctor_meta(reinterpret_cast<PyObject*>(Py_TYPE(value)));
        if (!meta) return {};
        if (!meta->topo) return py::Ref::borrow(value);
    } else if (container_kind(value) != ContainerKind::None) {
        const int in_place = container_in_place(a, key, value);
        if (in_place < 0) return {};
        if (in_place) return py::Ref::borrow(value);
    }
    return adopt(a, key, value, nullptr);
}

int adoption_pass(ChildPass& a, PyObject* fields) {
    py::Ref keys = py::Ref::steal(PyDict_Keys(fields));
    if (!keys) return -1;
    const Py_ssize_t n = PyList_GET_SIZE(keys.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyList_GET_ITEM(keys.get(), i);  // a private snapshot
        PyObject* found = nullptr;
        const int has = PyDict_GetItemRef(fields, key, &found);
        py::Ref value = py::Ref::steal(found);
        if (has < 0) return -1;
        if (!has) {
            py::raise_internal("a field of the new object vanished during adoption");
            return -1;
        }
        py::Ref stored = adopt_one(a, key, value.get());
        if (!stored) return -1;
        if (stored.get() != value.get() && PyDict_SetItem(fields, key, stored.get()) < 0)
            return -1;
    }
    return 0;
}

int parenting_pass(PyObject* self, PyObject* fields) {
    py::Ref keys = py::Ref::steal(PyDict_Keys(fields));
    if (!keys) return -1;
    const Py_ssize_t n = PyList_GET_SIZE(keys.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyDict_Size(fields) != n) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return -1;
        }
        PyObject* key = PyList_GET_ITEM(keys.get(), i);
        PyObject* found = nullptr;
        const int has = PyDict_GetItemRef(fields, key, &found);
        py::Ref value = py::Ref::steal(found);
        if (has < 0) return -1;
        if (!has) continue;
        if (parent_child(self, key, value.get()) < 0) return -1;
    }
    return 0;
}

// Whether `child` names a parent other than `owner`: 1, 0 or -1.
int parented_elsewhere(PyObject* child, PyObject* owner) {
    py::Ref parent;
    const int native = native_parent(child, parent);
    if (native < 0) return -1;
    if (!native && py::get_optional_attr<"_topo_parent">(child, parent) < 0) return -1;
    return parent && parent.get() != Py_None && parent.get() != owner;
}

}  // namespace

int parent_child(PyObject* owner, PyObject* key, PyObject* value) {
    const int needs = needs_parenting(value);
    if (needs <= 0) return needs;
    py::Ref policy;
    if (!class_field_policy(owner, key, policy)) return -1;
    if (parse_policy(policy.get()) == Policy::Ref) return 0;
    // A symbolic child that still names another parent was shared with it
    // ("adopt_ref"): it keeps the parent and the path it has there. Any
    // other child was stamped with its path here, and takes the parent
    // that goes with it, so it never names two places.
    const int elsewhere = parented_elsewhere(value, owner);
    if (elsewhere < 0) return -1;
    if (elsewhere) {
        const int symbolic = is_symbolic(value);
        if (symbolic != 0) return symbolic < 0 ? -1 : 0;
    }
    // Still parentless until the call takes: its own hook placing it
    // anywhere else meets it as a child given twice.
    const Stamping stamping(value, owner);
    return py::call_method<"topo_setparent">(value, owner) ? 0 : -1;
}

int adopt_children(PyObject* self, PyObject* fields, const ObjectBridge& b) {
    py::Ref path;
    if (!object_path(self, b, path)) return -1;
    ChildPass a{self, path.get(), {}};
    // The children stay claimed until they have their parent (claim.hpp): a
    // write meeting one meanwhile is refused, not shown it free. The
    // construction's log claims them to its end (AdoptionLog).
    return adoption_pass(a, fields) < 0 || parenting_pass(self, fields) < 0 ? -1 : 0;
}

int unstamp_children(PyObject* self, PyObject* fields, const ObjectBridge& b) {
    py::Ref path;
    if (!object_path(self, b, path)) return -1;
    py::DictCursor cursor(fields);
    py::Ref key, value;
    for (int step; (step = cursor.next(key, value)) != 0;) {
        if (step < 0) return -1;
        const int symbolic = is_symbolic(value.get());
        if (symbolic < 0) return -1;
        if (symbolic && unstamp_phantom_path(key.get(), value.get(), path.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace vesk::symbolic::object
