#include "symbolic/adoption.hpp"

#include "py/args.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/calls.hpp"
#include "symbolic/child_state.hpp"
#include "symbolic/errors.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/momentary.hpp"
#include "symbolic/policy.hpp"
#include "topology/key_path.hpp"

namespace vesk::symbolic {

namespace {

// Where a child sits, read from its native state or its attributes.
struct Placement {
    py::Ref parent;  // null or None: none
    py::Ref path;
    bool native = false;
};

// The child's placement; with `want_path` also its path (read only for a
// child whose parent is set, as the attribute read may be costly).
bool read_placement(PyObject* child, bool want_path, Placement& out) {
    ChildState state;
    const int r = read_child_state(child, state);
    if (r < 0) return false;
    if (r > 0) {
        out.parent = std::move(state.parent);
        out.path = std::move(state.path);
        out.native = true;
        return true;
    }
    out.parent = py::get_attr<"_topo_parent">(child);
    if (!out.parent) return false;
    if (want_path) {
        out.path = py::get_attr<"_topo_path">(child);
        if (!out.path) return false;
    }
    return true;
}

[[nodiscard]] bool absent(const py::Ref& r) noexcept { return !r || r.get() == Py_None; }

// The name of the child's type, for messages.
py::Ref type_name(PyObject* child) {
    return py::get_attr<"__name__">(reinterpret_cast<PyObject*>(Py_TYPE(child)));
}

void raise_cycle(PyObject* child, PyObject* new_path, const char* format) {
    py::Ref name = type_name(child);
    if (!name) return;
    py::Ref path_text = py::Ref::steal(PyObject_Str(new_path));
    if (!path_text) return;
    PyErr_Format(PyExc_ValueError, format, name.get(), path_text.get());
}

// Raises when inserting the parentless `child` under `container` would make
// `child` its own ancestor. A parent chain that loops without reaching the
// child (made by Python code setting parents directly) is reported too,
// instead of walking it forever.
int cycle_guard(PyObject* container, PyObject* child, PyObject* new_path) {
    static constexpr const char kCycle[] =
        "Inserting '%U' at path '%U' would create a cycle: the target container belongs to the "
        "inserted value's own symbolic tree.";
    static constexpr const char kCyclicChain[] =
        "Cannot insert '%U' at path '%U': the target container's parent chain is cyclic.";
    if (container == child) {
        raise_cycle(child, new_path, kCycle);
        return -1;
    }
    ClaimedSet visited;
    visited.add(container);
    py::Ref current = py::Ref::borrow(container);
    for (;;) {
        // A node another write is placing counts as under its destination:
        // of two writes racing nodes into each other's subtrees, the later
        // walk meets the earlier claim. The claim is read before the parent:
        // a claim ended meanwhile was ended after its write set the parent,
        // so the parent read next sees it; read the other way round, both
        // could be missed.
        py::Ref parent = claimed_destination(current.get());
        if (absent(parent)) {
            const int r = native_parent(current.get(), parent);
            if (r < 0) return -1;
            if (r == 0) {
                parent = py::get_attr<"_topo_parent">(current.get());
                if (!parent) return -1;
            }
        }
        if (absent(parent)) return 0;
        if (parent.get() == child) {
            raise_cycle(child, new_path, kCycle);
            return -1;
        }
        if (visited.contains(parent.get())) {
            raise_cycle(child, new_path, kCyclicChain);
            return -1;
        }
        visited.add(parent.get());
        current = std::move(parent);
    }
}

py::Ref shared_hold_error(PyObject* child, PyObject* new_path, bool in_claimed_set) {
    const ContainerBridge* b = container_bridge();
    if (!b) return {};
    PyObject* call[] = {child, new_path, in_claimed_set ? Py_True : Py_False};
    py::Ref message =
        py::Ref::steal(PyObject_Vectorcall(b->shared_hold_message.get(), call, 3, nullptr));
    if (!message) return {};
    py::Ref made = py::Ref::steal(PyObject_CallOneArg(b->shared_hold_error.get(), message.get()));
    if (made) raise_made(made.get());
    return {};
}

// Path first, then parent; a parentless owner (None) gives no parent to a
// child that had none.
int stamp(PyObject* child, PyObject* new_path, const AdoptArgs& a, bool fresh, bool topo_aware) {
    if (!topo_aware) return 0;
    if (call_method_void<"topo_setpath">(child, new_path) < 0) return -1;
    if (a.parent_set_by_caller || (a.parent_to_set == Py_None && fresh)) return 0;
    return call_method_void<"topo_setparent">(child, a.parent_to_set);
}

bool adopt_in_tree(py::Ref child, const AdoptArgs& a, Adoption& out) {
    const int symbolic = is_symbolic(child.get());
    if (symbolic < 0) return false;
    const Policy policy = parse_policy(a.policy);
    // Taken as it is: no placement, nothing to undo.
    auto unchanged = [&out](py::Ref value) {
        out.value = std::move(value);
        return true;
    };
    // A symbolic child is claimed before anything of it is read: where it
    // sits is decided, and it is stamped, under the claim. A child another
    // write places elsewhere, or lets go, is held elsewhere (and keeps a
    // tree, or that write would not claim it); its state is not read
    // meanwhile. Another write placing it where this one would stamps it
    // alike, and no write waits for another.
    Claim claim;
    bool busy = false;
    bool yielded = false;
    auto claim_child = [&](PyObject* value) {
        const Claim::Taken taken = claim.place(value, a.container, a.parent_to_set, a.key);
        yielded = taken == Claim::Taken::Yielded;
        return taken == Claim::Taken::Busy;
    };
    // A native container's state, read once under the claim: its placement
    // below is decided from the same reading (nothing runs in between).
    ChildState state;
    int native = 0;
    if (symbolic) {
        busy = claim_child(child.get());
        if (yielded) {
            out.value = std::move(child);
            out.mark_yielded();
            return true;
        }
        if (!busy) {
            native = read_child_state(child.get(), state);
            if (native < 0) return false;
            const int topo = native ? state.enable_topo : strict_topology_flag(child.get());
            if (topo <= 0) return topo < 0 ? false : unchanged(std::move(child));
        }
        if (policy == Policy::Ref || policy == Policy::Clone) {
            const int inferential = is_inferential(child.get());
            if (inferential < 0) return false;
            if (!inferential) {
                if (policy == Policy::Ref) return unchanged(std::move(child));
                child = call_method<"sym_clone">(child.get());
                if (!child) return false;
                busy = claim_child(child.get());
                native = 0;  // the clone's state is read below
            }
        }
    }
    const int topo_aware = is_topology_aware(child.get());
    if (topo_aware < 0) return false;
    if (!symbolic && !topo_aware) return unchanged(std::move(child));
    py::Ref new_path = topology::child_key_path(a.key, a.owner_path);
    if (!new_path) return false;
    if (!symbolic) {
        // A topology-aware value of another kind is stamped as it is.
        out.value = std::move(child);
        out.mark_placed({});
        return stamp(out.value.get(), new_path.get(), a, false, topo_aware) == 0;
    }

    bool in_claimed_set = false;
    if (!busy && claim.unsettled()) {
        // Writes with other aims are on the child, or were, and the calls
        // they made may have landed in any order: where it sits is told by
        // where it is stored, not by its own state, which serves only to
        // name a container outside their session.
        Placement said;
        if (native) {
            said.parent = state.parent;
        } else if (!read_placement(child.get(), false, said)) {
            return false;
        }
        py::Ref holder, key;
        const int stored = claim.stored_where(absent(said.parent) ? nullptr : said.parent.get(),
                                              holder, key);
        if (stored < 0) {
            busy = true;
        } else if (stored > 0 && !(holder.get() == a.container && same_slot_key(key.get(), a.key))) {
            busy = true;  // held by another container or under another key
        } else {
            native = 1;
            state.parent = stored > 0 ? py::Ref::borrow(a.container) : py::Ref();
            state.path = stored > 0 ? new_path : py::Ref();
        }
    }
    if (!busy) {
        Placement where;
        if (native) {
            where.parent = std::move(state.parent);
            where.path = std::move(state.path);
            where.native = true;
        } else if (!read_placement(child.get(), false, where)) {
            return false;
        }
        bool place = false;
        bool fresh = false;
        if (absent(where.parent)) {
            if (!a.claimed || !a.claimed->contains(child.get())) {
                if (cycle_guard(a.container, child.get(), new_path.get()) < 0) return false;
                if (a.claimed) a.claimed->add(child.get());
                place = fresh = true;
            } else {
                in_claimed_set = true;
            }
        } else if (where.parent.get() == a.container) {
            if (!where.native) {
                where.path = py::get_attr<"_topo_path">(child.get());
                if (!where.path) return false;
            }
            PyObject* current = where.native ? or_none(where.path) : where.path.get();
            const int same = topology::same_key_path(new_path.get(), current);
            if (same < 0) return false;
            place = same != 0;
        }
        if (place) {
            out.value = std::move(child);
            out.claim = std::move(claim);
            if (fresh) out.mark_placed(where.native ? std::move(where.path) : py::Ref());
            if (topo_aware) out.mark_stamped(a.owner_path);
            if (stamp(out.value.get(), new_path.get(), a, fresh, topo_aware) == 0) return true;
            out.undo();
            return false;
        }
    }
    claim.leave();

    // Held elsewhere: by another parent, under another path, by another
    // write, or earlier in this very operation. An item a copy read from its
    // source while another write was on it counts as the source's.
    if (policy == Policy::AdoptRef && !in_claimed_set && !(busy && a.clone_if_claimed))
        return unchanged(std::move(child));
    if (policy != Policy::Adopt && !(busy && a.clone_if_claimed)) {
        const int reference_like = is_reference_like(child.get());
        if (reference_like < 0) return false;
        if (!reference_like) {
            (void)shared_hold_error(child.get(), new_path.get(), in_claimed_set);
            return false;
        }
    }
    out.value = call_method<"sym_clone">(child.get());
    if (!out.value) return false;
    if (topo_aware) out.mark_stamped(a.owner_path);
    return stamp(out.value.get(), new_path.get(), a, true, topo_aware) == 0;
}

}  // namespace

void Adoption::undo() noexcept {
    if (!value) return;
    const bool placed = std::exchange(placed_, false);
    // Another write met this one on the child: whatever the calls below
    // would do may land before or after its own. The last of them out sets
    // the child right from where it is stored (claim.hpp).
    if (claim.held() && !claim.alone()) {
        claim.abandon();
        return;
    }
    if (!placed) {
        claim.leave();
        return;
    }
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* child = value.get();
    if (past_momentary_holds([child] { return call_method_void<"topo_setparent">(child, Py_None); }) < 0)
        PyErr_Clear();
    py::Ref path = std::move(prior_path_);
    if (!path) {
        const ContainerBridge* b = container_bridge();
        path = b ? py::Ref::steal(PyObject_CallNoArgs(b->keypath_cls.get())) : py::Ref();
    }
    PyObject* prior = path.get();
    if (!path ||
        past_momentary_holds([child, prior] { return call_method_void<"topo_setpath">(child, prior); }) < 0)
        PyErr_Clear();
    PyErr_SetRaisedException(pending);
    claim.leave();
}

bool adopt_child(PyObject* child, const AdoptArgs& a, Adoption& out) {
    out = Adoption{};
    if (a.adopting) return adopt_in_tree(py::Ref::borrow(child), a, out);
    const int symbolic = is_symbolic(child);
    if (symbolic < 0) return false;
    if (symbolic && unstamp_phantom_path(a.key, child, a.owner_path) < 0) return false;
    out.value = py::Ref::borrow(child);
    return true;
}

py::Ref adopt_child(PyObject* child, const AdoptArgs& a) {
    Adoption adopted;
    if (!adopt_child(child, a, adopted)) return {};
    adopted.claim.handed_over();  // the caller stores it
    return std::move(adopted.value);
}

int strict_topology_flag(PyObject* value) {
    ChildState state;
    const int native = read_child_state(value, state);
    if (native != 0) return native < 0 ? -1 : state.enable_topo;
    py::Ref flag = py::get_attr<"enable_topo">(value);
    bool out = false;
    if (!flag || !py::arg_bool_scalar("enable_topo", flag.get(), out)) return -1;
    return out;
}

int needs_parenting(PyObject* value) {
    const int topo_aware = is_topology_aware(value);
    if (topo_aware <= 0) return topo_aware;
    const int symbolic = is_symbolic(value);
    if (symbolic <= 0) return symbolic < 0 ? -1 : 1;
    return strict_topology_flag(value);
}

int unstamp_phantom_path(PyObject* key, PyObject* child, PyObject* owner_path) {
    Placement where;
    if (!read_placement(child, true, where)) return -1;
    if (!absent(where.parent)) return 0;
    if (absent(where.path)) return 0;
    if (topology::is_key_path(where.path.get())) {
        if (topology::depth_of(where.path.get()) == 0) return 0;
    } else {
        const int truth = PyObject_IsTrue(where.path.get());
        if (truth <= 0) return truth;
    }
    py::Ref would_be = topology::child_key_path(key, owner_path);
    if (!would_be) return -1;
    const int same = PyObject_RichCompareBool(where.path.get(), would_be.get(), Py_EQ);
    if (same <= 0) return same;
    const ContainerBridge* b = container_bridge();
    if (!b) return -1;
    return call_method_void<"topo_setpath">(child, b->empty_key_path.get());
}

}  // namespace vesk::symbolic
