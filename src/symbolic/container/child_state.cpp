#include "symbolic/child_state.hpp"

#include "py/hold.hpp"
#include "symbolic/container/state.hpp"
#include "symbolic/classes.hpp"
#include "symbolic/node_ops.hpp"

namespace vesk::symbolic {

namespace {

template <class S>
int read_held(PyObject* value, ChildState& out) {
    py::Shared<S> held(value);
    if (!held) return -1;
    out.parent = held->node.parent;
    out.path = held->node.path;
    out.enable_topo = held->enable_topo;
    return 1;
}

}  // namespace

ContainerKind container_kind(PyObject* value) noexcept {
    if (is_sym_dict(value)) return ContainerKind::Dict;
    return is_sym_list(value) ? ContainerKind::List : ContainerKind::None;
}

int read_child_state(PyObject* value, ChildState& out) {
    switch (container_kind(value)) {
        case ContainerKind::Dict: return read_held<DictState>(value, out);
        case ContainerKind::List: return read_held<ListState>(value, out);
        case ContainerKind::None: break;
    }
    return 0;
}

int native_parent(PyObject* value, py::Ref& out) {
    const NodeOps* ops = node_ops(value);
    if (!ops) return 0;
    if (ops->get_role(value, kernel::record::kRoleParent, out) < 0) return -1;
    // A parent stored as None is no parent.
    if (out.get() == Py_None) out.reset();
    return 1;
}

}  // namespace vesk::symbolic
