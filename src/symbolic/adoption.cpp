#include "symbolic/adoption.hpp"

#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/calls.hpp"
#include "symbolic/child_state.hpp"
#include "symbolic/classes.hpp"
#include "symbolic/errors.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/momentary.hpp"
#include "symbolic/node.hpp"
#include "symbolic/placement.hpp"
#include "symbolic/policy.hpp"
#include "topology/key_path.hpp"

#include <array>
#include <optional>

namespace vesk::symbolic {

namespace {

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

// The nodes a cycle walk has passed: the few of a shallow tree inline, more
// in a set. Each is kept alive, so no address is reused while the walk runs.
class Visited {
public:
    [[nodiscard]] bool contains(PyObject* node) const noexcept {
        for (std::size_t i = 0; i < near_count_; ++i)
            if (near_[i].get() == node) return true;
        return far_ && far_->contains(node);
    }
    void add(PyObject* node) {
        if (near_count_ < near_.size()) {
            near_[near_count_++] = py::Ref::borrow(node);
            return;
        }
        if (!far_) far_.emplace();
        far_->add(node);
    }

private:
    std::array<py::Ref, 8> near_;
    std::size_t near_count_ = 0;
    std::optional<ClaimedSet> far_;
};

// Raises when inserting the parentless `child` under `container` would make
// `child` its own ancestor. A parent chain that loops without reaching the
// child (made by Python code setting parents directly) is reported too,
// instead of walking it forever.
int cycle_guard(PyObject* container, PyObject* child, PyObject* new_path, const Claim& claim) {
    static constexpr const char kCycle[] =
        "Inserting '%U' at path '%U' would create a cycle: the target container belongs to the "
        "inserted value's own symbolic tree.";
    static constexpr const char kCyclicChain[] =
        "Cannot insert '%U' at path '%U': the target container's parent chain is cyclic.";
    if (container == child) {
        raise_cycle(child, new_path, kCycle);
        return -1;
    }
    Visited visited;
    visited.add(container);
    py::Ref current = py::Ref::borrow(container);
    for (;;) {
        // A node another write is placing counts as under its destination,
        // when that write entered first: of two writes racing nodes into
        // each other's subtrees, the later one to enter meets the earlier
        // one's claim and the earlier one does not meet the later's, so one
        // of them is refused, not both. The claim is read before the
        // parent: a claim ended meanwhile was ended after its write set the
        // parent, so the parent read next sees it.
        py::Ref parent = claimed_destination(current.get(), claim);
        if (is_absent(parent)) {
            const int r = native_parent(current.get(), parent);
            if (r < 0) return -1;
            if (r == 0) {
                parent = py::get_attr<"_topo_parent">(current.get());
                if (!parent) return -1;
            }
        }
        if (is_absent(parent)) return 0;
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

// Whether the child sits where this write would place it, as its home
// tells: its parent is the container itself, and its path names the key
// (the slot itself, for a home a write committed). A list's items move, so
// there the position must hold the child, and an insertion never finds it
// in place. 1, 0 or -1.
int in_place(const Home& home, const AdoptArgs& a, PyObject* child, PyObject* new_path) {
    if (!home.at() || home.parent.get() != a.container) return 0;
    if (is_sym_list(a.container)) {
        if (a.inserting || !PyLong_Check(a.key)) return 0;
        const Py_ssize_t pos = PyLong_AsSsize_t(a.key);
        if (pos == -1 && PyErr_Occurred()) return -1;
        return py::list_item(a.container, pos).get() == child;
    }
    if (home.node) return home.node.get() == a.container && same_slot_key(home.key.get(), a.key);
    return topology::same_key_path(new_path, or_none(home.path));
}

// Enters the child's session to place it: its home, from `reading` (taken
// after `epoch`) or the session's own.
bool enter_placement(PyObject* child, const AdoptArgs& a, std::uint64_t epoch,
                     Placement&& reading, Claim& claim, Home& home) {
    const ClaimSlot slot{a.container, a.key, a.parent_to_set};
    if (claim.place(child, slot, epoch, home_of(std::move(reading)), home)) return true;
    Placement again;
    if (!read_placement(child, again)) {
        claim.leave();
        return false;
    }
    claim.publish(home_of(std::move(again)), home);
    return true;
}

}  // namespace

// The steps of an adoption that keep what they learn in the Adoption.
struct Adopter {
    // Held elsewhere: shared, cloned (and the clone stamped) or refused, by
    // the policy. `in_claimed_set`: met earlier in the same operation.
    static bool held_road(py::Ref child, bool in_claimed_set, Adoption& out) {
        const AdoptArgs& a = out.args();
        const Policy policy = parse_policy(a.policy);
        const bool copying = a.clone_if_claimed && !in_claimed_set;
        if (!copying) {
            if (policy == Policy::AdoptRef && !in_claimed_set) {
                out.value = std::move(child);  // shared: it keeps its own parent and path
                return true;
            }
            if (policy != Policy::Adopt) {
                const int reference_like = is_reference_like(child.get());
                if (reference_like < 0) return false;
                if (!reference_like) {
                    (void)shared_hold_error(child.get(), out.new_path_.get(), in_claimed_set);
                    return false;
                }
            }
        }
        out.value = call_method<"sym_clone">(child.get());
        if (!out.value) return false;
        if (out.topo_aware_) out.mark_stamped(a.owner_path);
        return stamp(out.value.get(), out.new_path_.get(), a, true, out.topo_aware_) == 0;
    }

    static bool in_tree(py::Ref child, const AdoptArgs& a, Adoption& out) {
        const int symbolic = is_symbolic(child.get());
        if (symbolic < 0) return false;
        const Policy policy = parse_policy(a.policy);
        // Taken as it is: no placement, nothing to undo.
        auto unchanged = [&out](py::Ref value) {
            out.value = std::move(value);
            return true;
        };
        // A native container's state, read once: its enable_topo, and where
        // it sits, read after the epoch its session may take it with.
        std::uint64_t epoch = 0;
        ChildState state;
        int native = 0;
        if (symbolic) {
            epoch = claim_epoch(child.get());
            native = read_child_state(child.get(), state);
            if (native < 0) return false;
            const int topo = native ? state.enable_topo : strict_topology_flag(child.get());
            if (topo <= 0) return topo < 0 ? false : unchanged(std::move(child));
            if (policy == Policy::Ref || policy == Policy::Clone) {
                const int inferential = is_inferential(child.get());
                if (inferential < 0) return false;
                if (!inferential) {
                    if (policy == Policy::Ref) return unchanged(std::move(child));
                    child = call_method<"sym_clone">(child.get());
                    if (!child) return false;
                    epoch = claim_epoch(child.get());
                    native = read_child_state(child.get(), state);
                    if (native < 0) return false;
                }
            }
        }
        const int topo_aware = is_topology_aware(child.get());
        if (topo_aware < 0) return false;
        out.topo_aware_ = topo_aware != 0;
        if (!symbolic && !topo_aware) return unchanged(std::move(child));
        out.new_path_ = topology::child_key_path(a.key, a.owner_path);
        PyObject* new_path = out.new_path_.get();
        if (!new_path) return false;
        if (!symbolic) {
            // A topology-aware value of another kind is stamped as it is.
            out.value = std::move(child);
            out.unclaimed_placed_ = true;
            return stamp(out.value.get(), new_path, a, false, topo_aware) == 0;
        }

        // Where it sits is its home: the session's, or its own state's.
        Placement reading;
        if (native)
            reading = placement_of(std::move(state));
        else if (!read_placement(child.get(), reading))
            return false;
        out.keep_args(a);
        Home home;
        if (!enter_placement(child.get(), a, epoch, std::move(reading), out.claim, home))
            return false;
        bool fresh = false;
        bool in_claimed_set = false;
        int placed = 0;
        if (home.free() || home.kind == Home::Kind::Unset) {
            if (a.claimed && a.claimed->contains(child.get())) {
                in_claimed_set = true;
            } else {
                if (cycle_guard(a.container, child.get(), new_path, out.claim) < 0) {
                    out.claim.leave();
                    return false;
                }
                if (a.claimed) a.claimed->add(child.get());
                placed = fresh = true;
            }
        } else {
            placed = in_place(home, a, child.get(), new_path);
            if (placed < 0) {
                out.claim.leave();
                return false;
            }
        }
        if (!placed) {
            out.claim.leave();
            return held_road(std::move(child), in_claimed_set, out);
        }
        out.claim.decided(!fresh);
        out.value = std::move(child);
        if (topo_aware) out.mark_stamped(a.owner_path);
        // In place while a write lets it go from this very slot: stamping it
        // again could land after that write's let-go calls. Should the
        // let-go take effect first, the commit stamps it.
        if (!fresh && out.claim.yields()) {
            out.yielded_ = true;
            return true;
        }
        if (stamp(out.value.get(), new_path, a, fresh, topo_aware) == 0) return true;
        out.undo();
        return false;
    }
};

void Adoption::keep_args(const AdoptArgs& a) {
    kept_.emplace(KeptArgs{py::Ref::borrow(a.key), py::Ref::borrow(a.parent_to_set),
                           py::Ref::borrow(a.policy), py::Ref::borrow(a.owner_path),
                           py::Ref::borrow(a.container), a});
    // The claimed set is the operation's own, which outlives its adoptions.
}

int Adoption::take_effect(int (*in_slot)(void* ctx), void* ctx) {
    if (!claim.held()) return 1;
    const Claim::Commit made = claim.commit();
    if (made == Claim::Commit::Done) return 1;
    // A list's items move: a child found in place there is in place only
    // while its position still holds it; else it is elsewhere in the list.
    if (made == Claim::Commit::InPlace && !(in_slot && is_sym_list(args().container))) return 1;
    if (made == Claim::Commit::InPlace) {
        const int there = in_slot(ctx);
        if (there != 0) return there < 0 ? -1 : 0;
        claim.retract();
    } else if (in_slot) {
        const int there = in_slot(ctx);
        if (there != 0) {
            // Placed there first by another write (a list's home never names
            // its position): in place, stored by that write.
            if (there > 0) claim.leave_failed();
            return there > 0 ? 0 : -1;
        }
    }
    return held_elsewhere();
}

int Adoption::held_elsewhere() {
    // What this write stamped on the child is set right by its session.
    if (yielded_)
        claim.leave();
    else
        claim.leave_failed();
    yielded_ = false;
    stamped_ = false;
    py::Ref child = std::move(value);
    return Adopter::held_road(std::move(child), false, *this) ? 1 : -1;
}

int Adoption::stamp_late() {
    if (!yielded_) return 0;
    yielded_ = false;
    if (stamp(value.get(), new_path_.get(), args(), true, topo_aware_) == 0) return 0;
    undo();
    return -1;
}

void Adoption::abandon_stamped(bool parented) noexcept {
    if (!claim.held() || yielded_) {
        claim.leave();
        return;
    }
    Home stamped;
    PyObject* parent = parented ? args().parent_to_set : nullptr;
    stamped.kind = parent && parent != Py_None ? Home::Kind::At : Home::Kind::Free;
    stamped.parent = py::Ref::borrow(stamped.at() ? parent : nullptr);
    stamped.path = new_path_;
    claim.leave_as(std::move(stamped));
}

void Adoption::undo() noexcept {
    if (claim.held()) {
        claim.retract();
        claim.leave_failed();
    }
    if (!std::exchange(unclaimed_placed_, false) || !value) return;
    // A value of another kind, stamped here without a session: its freedom
    // back, by the calls that gave it its place.
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* child = value.get();
    if (past_momentary_holds([child] { return call_method_void<"topo_setparent">(child, Py_None); }) < 0)
        PyErr_Clear();
    const ContainerBridge* b = container_bridge();
    py::Ref path = b ? py::Ref::steal(PyObject_CallNoArgs(b->keypath_cls.get())) : py::Ref();
    PyObject* empty = path.get();
    if (!path ||
        past_momentary_holds([child, empty] { return call_method_void<"topo_setpath">(child, empty); }) < 0)
        PyErr_Clear();
    PyErr_SetRaisedException(pending);
}

bool adopt_child(PyObject* child, const AdoptArgs& a, Adoption& out) {
    out = Adoption{};
    if (a.adopting) return Adopter::in_tree(py::Ref::borrow(child), a, out);
    const int symbolic = is_symbolic(child);
    if (symbolic < 0) return false;
    if (symbolic && unstamp_phantom_path(a.key, child, a.owner_path) < 0) return false;
    out.value = py::Ref::borrow(child);
    return true;
}

py::Ref adopt_child(PyObject* child, const AdoptArgs& a) {
    Adoption adopted;
    if (!adopt_child(child, a, adopted)) return {};
    // The caller stores the value where no other write reaches it first: the
    // placement takes effect now. A child found in place stays as it is.
    const int took = adopted.take_effect();
    if (took < 0) return {};
    adopted.mark_stored();
    adopted.done();
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
    if (!read_placement(child, where)) return -1;
    if (!is_absent(where.parent)) return 0;
    if (is_absent(where.path)) return 0;
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
