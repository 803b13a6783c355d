#include "symbolic/in_place.hpp"

#include "symbolic/child_state.hpp"
#include "symbolic/classes.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/node.hpp"
#include "symbolic/placement.hpp"
#include "symbolic/policy.hpp"
#include "topology/key_path.hpp"

namespace vesk::symbolic {

namespace {

// A symbolic child that keeps a tree, where it sits: whether that is where
// the adoption would stamp it, under the container at the key's path, with
// the parent it would be given. 1, 0 or -1.
int sits_in_place(const AdoptArgs& a, const Placement& where) {
    if (is_absent(where.parent) || where.parent.get() != a.container) return 0;
    // A list's items move without being re-pathed: where one sits is not
    // told by its path alone.
    if (is_sym_list(a.container)) return 0;
    if (!a.parent_set_by_caller && a.parent_to_set != where.parent.get()) return 0;
    py::Ref path = topology::child_key_path(a.key, a.owner_path);
    if (!path) return -1;
    return topology::same_key_path(path.get(), or_none(where.path));
}

}  // namespace

int stays_in_place(PyObject* child, const AdoptArgs& a) {
    if (is_primitive(child)) return 1;
    const int symbolic = is_symbolic(child);
    if (symbolic < 0) return -1;
    if (!a.adopting) {
        if (!symbolic) return 1;
        const int phantom = carries_phantom_path(a.key, child, a.owner_path);
        return phantom < 0 ? -1 : !phantom;
    }
    ChildState state;
    int native = 0;
    if (symbolic) {
        native = read_child_state(child, state);
        if (native < 0) return -1;
        const int topo = native ? state.enable_topo : strict_topology_flag(child);
        if (topo <= 0) return topo < 0 ? -1 : 1;
        const Policy policy = parse_policy(a.policy);
        if (policy == Policy::Ref || policy == Policy::Clone) {
            const int inferential = is_inferential(child);
            if (inferential < 0) return -1;
            // Taken by reference as it is, or cloned.
            if (!inferential) return policy == Policy::Ref;
        }
    }
    const int aware = is_topology_aware(child);
    if (aware < 0) return -1;
    // A value of another kind that keeps a tree is stamped as it is.
    if (!symbolic) return !aware;
    Placement where;
    if (native)
        where = placement_of(std::move(state));
    else if (!read_placement(child, where))
        return -1;
    return sits_in_place(a, where);
}

}  // namespace vesk::symbolic
