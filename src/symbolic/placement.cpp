#include "symbolic/placement.hpp"

#include "py/named.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/calls.hpp"
#include "symbolic/child_state.hpp"
#include "symbolic/momentary.hpp"
#include "symbolic/write_core.hpp"
#include "topology/key_path.hpp"

namespace vesk::symbolic {

namespace {

// The path `home` gives the node: null to leave it as it is.
py::Ref home_path(const Home& home) {
    if (home.node) {
        py::Ref owner_path;
        const NodeOps* ops = node_ops(home.node.get());
        const int read =
            ops ? past_momentary_holds([&] {
                return ops->get_role(home.node.get(), kernel::record::kRolePath, owner_path);
            })
                : ((owner_path = py::get_attr<"_topo_path">(home.node.get())) ? 0 : -1);
        if (read < 0) return {};
        return topology::child_key_path(home.key.get(),
                                        owner_path.get() == Py_None ? nullptr : owner_path.get());
    }
    if (!home.empty_path) return home.path;
    const ContainerBridge* b = container_bridge();
    return b ? py::Ref::steal(PyObject_CallNoArgs(b->keypath_cls.get())) : py::Ref();
}

// 1 when the paths differ (a missing one differs from any), 0, -1.
int paths_differ(PyObject* want, PyObject* have) {
    if (want == have) return 0;
    if (!have || have == Py_None) return 1;
    const int same = topology::same_key_path(want, have);
    return same < 0 ? -1 : !same;
}

int set_path(PyObject* node, PyObject* path) {
    return past_momentary_holds([&] { return call_method_void<"topo_setpath">(node, path); });
}

int set_parent(PyObject* node, PyObject* parent) {
    return past_momentary_holds(
        [&] { return call_method_void<"topo_setparent">(node, parent ? parent : Py_None); });
}

}  // namespace

bool read_placement(PyObject* node, Placement& out) {
    ChildState state;
    const int r = read_child_state(node, state);
    if (r < 0) return false;
    if (r > 0) {
        out = placement_of(std::move(state));
        return true;
    }
    py::Ref parent = py::get_attr<"_topo_parent">(node);
    if (!parent) return false;
    out.path = py::get_attr<"_topo_path">(node);
    if (!out.path) return false;
    out.parent = is_absent(parent) ? py::Ref() : std::move(parent);
    out.native = false;
    return true;
}

Home home_of(Placement&& reading) {
    Home home;
    home.kind = reading.parent ? Home::Kind::At : Home::Kind::Free;
    home.parent = std::move(reading.parent);
    // A free node without a path is given the empty one, should it be set
    // right.
    if (home.free() && is_absent(reading.path))
        home.empty_path = true;
    else
        home.path = std::move(reading.path);
    return home;
}

void set_node_right(PyObject* node, const Owed& owed, const Home& home,
                    bool (*unmet)(PyObject* node) noexcept) noexcept {
    for (std::uint32_t i = 0; i < owed.full + owed.parent_only; ++i) {
        const bool parent_only = i >= owed.full;
        if (detach_value(node, parent_only) < 0)
            PyErr_Clear();
    }
    if (home.kind == Home::Kind::Unset) return;
    py::Ref path = home_path(home);
    if (!path && PyErr_Occurred()) {
        PyErr_Clear();
        return;
    }
    PyObject* parent = home.at() ? home.parent.get() : nullptr;
    Placement now;
    int path_differs = 1;
    bool parent_differs = true;
    if (past_momentary_holds([&] { return read_placement(node, now) ? 0 : -1; }) == 0) {
        path_differs = path ? paths_differ(path.get(), now.path.get()) : 0;
        parent_differs = now.parent.get() != parent;
    }
    if (path_differs < 0) {
        PyErr_Clear();
        path_differs = 1;
    }
    // After the reading: a write that stamped the node before it was read
    // entered before that, and is seen here.
    if ((path_differs || parent_differs) && !unmet(node)) return;
    // Stamped path first, then parent, as adoption stamps; let go parent
    // first, as a write lets go.
    if (home.free() && parent_differs && set_parent(node, nullptr) < 0) PyErr_Clear();
    if (path && path_differs && set_path(node, path.get()) < 0) PyErr_Clear();
    if (home.at() && parent_differs && set_parent(node, parent) < 0) PyErr_Clear();
}

}  // namespace vesk::symbolic
