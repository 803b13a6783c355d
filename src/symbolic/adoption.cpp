#include "symbolic/adoption.hpp"

#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/errors.hpp"
#include "py/named.hpp"
#include "py/write_span.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/calls.hpp"
#include "symbolic/child_state.hpp"
#include "symbolic/claim.hpp"
#include "symbolic/classes.hpp"
#include "symbolic/errors.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/momentary.hpp"
#include "symbolic/node.hpp"
#include "symbolic/node_ops.hpp"
#include "symbolic/policy.hpp"
#include "symbolic/repath_walk.hpp"
#include "topology/key_path.hpp"

#include <optional>

namespace vesk::symbolic {

namespace {

// What a topology-aware value that is not symbolic tells of its place, each
// part it does not tell (or that cannot be read) as none. Keeps no error.
Placement told_placement(PyObject* child) noexcept {
    Placement told;
    if (!read_placement(child, told, true)) {
        PyErr_Clear();
        told = Placement{};
    }
    if (!told.parent_known) told.parent.reset();
    if (!told.path_known) told.path.reset();
    told.parent_known = told.path_known = true;
    return told;
}

// Raises when inserting `child` under `container` would make `child` its own
// ancestor. The container's parent chain is claimed, so it stays as it is
// read until the write is done. A node of it that this thread is placing now
// (a hook of that placement writes) goes under the container it is being
// placed in, whose chain is followed from there. A chain that loops without
// reaching the child (made by Python code setting parents directly) is
// reported too.
int cycle_guard(ClaimScope& scope, PyObject* container, PyObject* child, PyObject* new_path) {
    static constexpr const char kCyclicChain[] =
        "Cannot insert '%U' at path '%U': the target container's parent chain is cyclic.";
    if (container == child) {
        raise_cycle(child, new_path);
        return -1;
    }
    // Each placement under way is followed once at most: how many are left
    // to follow, counted when first needed.
    std::optional<std::size_t> left;
    for (PyObject* from = container;;) {
        if (scope.tree(from) < 0) return -1;
        if (scope.on_chain(from, child)) {
            raise_cycle(child, new_path);
            return -1;
        }
        if (scope.chain_loops(from)) {
            raise_cycle(child, new_path, kCyclicChain);
            return -1;
        }
        if (!left) left = Stamping::under_way();
        if (*left == 0) return 0;
        --*left;
        from = scope.first_on_chain(from, Stamping::placing_into);
        if (!from) return 0;
        if (from == child) {
            raise_cycle(child, new_path);
            return -1;
        }
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

enum class Sits : signed char { Error = -1, Elsewhere, InPlace, Free };

// Where a child whose parent is the container itself sits against where
// this write places it. Under its own path, in place; under another, held
// elsewhere. A list's items move without being re-pathed, so there the list
// holds the child only where it stores that very object: in place at the
// write's own position (an insertion never finds it so), held elsewhere at
// any other; and a child the list stores nowhere (taken out by a removal,
// which does not let it go) is in place under its own path, else free.
Sits sits(PyObject* child, const Placement& where, const AdoptArgs& a, PyObject* new_path) {
    const int same = topology::same_key_path(new_path, or_none(where.path));
    if (same < 0) return Sits::Error;
    if (!is_sym_list(a.container)) return same ? Sits::InPlace : Sits::Elsewhere;
    const Py_ssize_t held_at = py::list_position(a.container, child);
    if (held_at < 0) return same ? Sits::InPlace : Sits::Free;
    if (a.inserting || !PyLong_Check(a.key)) return Sits::Elsewhere;
    const Py_ssize_t pos = PyLong_AsSsize_t(a.key);
    if (pos == -1 && PyErr_Occurred()) return Sits::Error;
    return held_at == pos ? Sits::InPlace : Sits::Elsewhere;
}

}  // namespace

[[gnu::tls_model("initial-exec")]] thread_local Stamping* Stamping::innermost = nullptr;

bool Stamping::places_again(PyObject* child, PyObject* container) noexcept {
    for (const Stamping* s = innermost; s; s = s->outer_)
        if (s->child_ == child && (s->kind_ == Kind::Free ||
                                   (s->kind_ == Kind::ParentGiven && s->container_ != container)))
            return true;
    return false;
}

PyObject* Stamping::placing_into(PyObject* node) noexcept {
    for (const Stamping* s = innermost; s; s = s->outer_)
        if (s->child_ == node && s->container_ != node) return s->container_;
    return nullptr;
}

// The steps of an adoption that keep what they learn in the Adoption.
struct Adopter {
    const AdoptArgs& a;
    Adoption& out;
    ClaimScope& scope;
    py::Ref new_path;
    bool topo_aware = false;
    bool native_child = false;  // the value stamped is a native container

    // Where the child stood before its stamping: in place already, free
    // (parentless, met here first), a clone made for this place, or a
    // topology-aware value of another kind, whose place is not read.
    enum class Placing : unsigned char { InPlace, Free, Clone, Other };

    // Path first, then parent; a parentless owner (None) gives no parent to
    // a child that had none. What each call changed is noted for an undo.
    bool stamp(Placing placing) {
        if (!topo_aware) return true;
        PyObject* child = out.value.get();
        LettingGo::stamping(child);
        std::optional<Stamping> entry;
        if (placing != Placing::InPlace)
            entry.emplace(child, a.container,
                          placing == Placing::Free ? Stamping::Kind::Free : Stamping::Kind::Other);
        // The container's path before the child's hooks run, to tell whether
        // they move it: a native container's is the owner path the write
        // read of it; another's is read here.
        const NodeOps* ops = node_ops(a.container);
        py::Ref read_before;
        if (!ops && py::get_optional_attr<"_topo_path">(a.container, read_before) < 0) return false;
        // Noted before each call: one that fails may have changed the child
        // part of the way (its path, and some of its members' paths).
        out.path_set_ = true;
        if (stamp_path(child) < 0) return false;
        // A parent the caller sets is given back with the path, should the
        // operation fail once it is set.
        out.parent_set_ = a.parent_set_by_caller;
        const bool fresh = placing == Placing::Free || placing == Placing::Clone;
        if (!a.parent_set_by_caller && !(a.parent_to_set == Py_None && fresh)) {
            out.parent_set_ = true;
            if (call_method_void<"topo_setparent">(child, a.parent_to_set) < 0) return false;
        }
        return follow_container(ops, ops ? a.owner_path : read_before.get());
    }

    // `child` given the new path, in a walk of this write (repath_walk.hpp):
    // one that comes back to the container, which the child's tree would
    // then hold, or to a node it is re-pathing, is refused and changes
    // nothing. 0 or -1.
    int stamp_path(PyObject* child) {
        RepathWalk walk(a.container, child, new_path.get());
        py::Ref told;
        const bool other = !native_child && !node_ops(child) && told_path(child, told);
        const int r = call_method_void<"topo_setpath">(child, new_path.get());
        if (other && RepathWalk::refused()) give_told_path_back(child, told.get());
        return r;
    }

    // The container's path as its state tells it now: a native node's own
    // (`ops` its table), read past another thread's momentary hold, else its
    // `_topo_path` (none when it has none).
    bool container_path(const NodeOps* ops, py::Ref& out) {
        if (!ops) return py::get_optional_attr<"_topo_path">(a.container, out) >= 0;
        return past_momentary_holds([&] {
                   return ops->get_role(a.container, kernel::record::kRolePath, out);
               }) == 0;
    }

    // The child's path is its container's path as it is once the child's
    // hooks have run, plus its key: a hook that moved the container, or let
    // it go, did so before the child was stored in it, so the container's
    // own re-pathing passed the child by. Where nothing moved, one read and
    // an identity test. Stamped again, the child's hooks may move the
    // container again: followed a few times, then left as the last stamping
    // made it.
    bool follow_container(const NodeOps* ops, PyObject* before) {
        static constexpr int kFollows = 8;
        py::Ref now;
        for (int round = 0; round < kFollows; ++round) {
            py::Ref last = std::move(now);  // keeps `before` alive once it was read here
            if (!container_path(ops, now)) return false;
            if (or_none(now.get()) == or_none(before)) return true;
            py::Ref path = topology::child_key_path(a.key, or_none(now));
            if (!path) return false;
            const int same = topology::same_key_path(path.get(), new_path.get());
            if (same != 0) return same > 0;
            new_path = std::move(path);
            if (stamp_path(out.value.get()) < 0) return false;
            before = now.get();
        }
        return true;
    }

    // Held elsewhere: shared, cloned (and the clone stamped) or refused, by
    // the policy. `in_claimed_set`: the flag of the refusal, a parentless
    // child met earlier in the same operation; `met`: the child was met
    // earlier in the same operation at all (a copy's item given twice takes
    // its policy's road, not the copy's clone).
    bool held_road(py::Ref child, bool in_claimed_set, bool met) {
        const Policy policy = parse_policy(a.policy);
        const bool copying = a.clone_if_claimed && !met;
        if (!copying) {
            if (policy == Policy::AdoptRef && !in_claimed_set) {
                out.value = std::move(child);  // shared: it keeps its own parent and path
                return true;
            }
            if (policy != Policy::Adopt) {
                const int reference_like = is_reference_like(child.get());
                if (reference_like < 0) return false;
                if (!reference_like) {
                    (void)shared_hold_error(child.get(), new_path.get(), in_claimed_set);
                    return false;
                }
            }
        }
        out.value = call_method<"sym_clone">(child.get());
        native_child = false;  // the clone is another value
        return out.value && stamp(Placing::Clone);
    }

    bool in_tree(py::Ref child) {
        const int symbolic = is_symbolic(child.get());
        if (symbolic < 0) return false;
        const Policy policy = parse_policy(a.policy);
        auto unchanged = [this](py::Ref value) {
            out.value = std::move(value);
            return true;
        };
        // A native container's state, read once it is claimed: its
        // enable_topo, and where it sits.
        ChildState state;
        int native = 0;
        if (symbolic) {
            if (scope.exclusive(child.get()) < 0) return false;
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
                    if (!child || scope.exclusive(child.get()) < 0) return false;
                    native = read_child_state(child.get(), state);
                    if (native < 0) return false;
                }
            }
        }
        const int aware = is_topology_aware(child.get());
        if (aware < 0) return false;
        topo_aware = aware != 0;
        if (!symbolic && !topo_aware) return unchanged(std::move(child));
        new_path = topology::child_key_path(a.key, a.owner_path);
        if (!new_path) return false;
        if (!symbolic) {
            // A topology-aware value of another kind is stamped as it is,
            // and given back what it tells of its place should the write
            // fail (a parent or path it does not tell, or that cannot be
            // read, as none: its freedom). Its place is not checked, but it
            // is never put below itself: it may hold the very container (a
            // record, its fields symbolic containers).
            if (scope.exclusive(child.get()) < 0) return false;
            scope.reparenting(child.get());
            if (cycle_guard(scope, a.container, child.get(), new_path.get()) < 0) return false;
            out.prior_ = told_placement(child.get());
            out.value = std::move(child);
            out.stamped_ = out.value;
            out.freed_ = true;
            return stamp(Placing::Other);
        }

        native_child = native > 0;
        Placement where;
        if (native)
            where = placement_of(std::move(state));
        else if (!read_placement(child.get(), where))
            return false;
        const bool met = a.claimed && a.claimed->contains(child.get());
        Sits at = Sits::Free;
        if (where.parent) {
            at = where.parent.get() == a.container ? sits(child.get(), where, a, new_path.get())
                                                   : Sits::Elsewhere;
            if (at == Sits::Error) return false;
            if (at == Sits::Elsewhere) return held_road(std::move(child), false, met);
        }
        const bool fresh = at == Sits::Free;
        if (fresh) {
            if (met || Stamping::places_again(child.get(), a.container))
                return held_road(std::move(child), true, true);
            scope.reparenting(child.get());
            if (cycle_guard(scope, a.container, child.get(), new_path.get()) < 0) return false;
            if (a.claimed) a.claimed->add(child.get());
            out.stamped_ = child;
            out.prior_ = std::move(where);
        }
        out.value = std::move(child);
        return stamp(fresh ? Placing::Free : Placing::InPlace);
    }
};

bool Adoption::undo() noexcept {
    py::Ref child = std::move(stamped_);
    if (!child || !(path_set_ || parent_set_)) return true;
    if (freed_) {
        // A value of another kind: the place it told back, by the calls that
        // gave it the new one.
        return give_back(child.get(), prior_, true, true, true);
    }
    // A child given a parent that names another now was placed there by a
    // hook meanwhile (one of the operation's own, or of a later child): that
    // place stands, and giving it back would leave it stored where it names
    // no parent. (A fresh child had none: one that names none is ours still.)
    if (parent_set_ && given_ && given_ != Py_None &&
        names_parent(child.get(), given_) == Names::Other)
        return true;
    return give_back(child.get(), prior_, parent_set_, path_set_, true);
}

void Adoption::stored() noexcept {
    if (!stamped_) return;
    if (AdoptionLog* log = AdoptionLog::taking(container_)) {
        Adoption taken;
        taken.value = value;
        taken.stamped_ = std::move(stamped_);
        taken.prior_ = std::move(prior_);
        taken.container_ = container_;
        taken.given_ = given_;
        taken.path_set_ = path_set_;
        taken.parent_set_ = parent_set_;
        taken.freed_ = freed_;
        log->take(std::move(taken));
    }
    stamped_.reset();
}

namespace {

// Claims `child` in `scope` for a step of a log, which cannot fail: false,
// with the refusal dropped, when another thread claims it; true when claimed,
// or when the claims' own bookkeeping found no memory (the step then goes
// on as it would without a claim, rather than end the process).
bool claim_quietly(ClaimScope& scope, PyObject* child) noexcept {
    try {
        if (scope.exclusive(child) == 0) return true;
    } catch (...) {
        return true;
    }
    PyErr_Clear();
    return false;
}

}  // namespace

[[gnu::tls_model("initial-exec")]] thread_local LettingGo* LettingGo::innermost = nullptr;
[[gnu::tls_model("initial-exec")]] thread_local AdoptionLog* AdoptionLog::innermost = nullptr;
[[gnu::tls_model("initial-exec")]] thread_local AdoptionLog* AdoptionLog::made_for = nullptr;

AdoptionLog* AdoptionLog::nearest(AdoptionLog* log, PyObject* container,
                                  const Kept* kind) noexcept {
    for (; log; log = log->outer_)
        if (log->container_ == container && (!kind || log->kept_as_ == *kind)) return log;
    return nullptr;
}

AdoptionLog* AdoptionLog::nearest_taker(AdoptionLog* log, PyObject* container) noexcept {
    for (; log; log = log->outer_)
        if (log->container_ == container &&
            (log->kept_as_ == Kept::Up || log->kept_as_ == Kept::Pass))
            return log;
    return nullptr;
}

AdoptionLog* AdoptionLog::taking(PyObject* container) noexcept {
    AdoptionLog* log = nearest(innermost, container);
    if (!log || log->kept_as_ != Kept::Drop) return log;
    // A single write's own store settles its adoption, unless the write is
    // part of a construction of the same container (a member written back
    // by the spec's apply, an insertion marker among the items) or of an
    // apply to it.
    return nearest_taker(log->outer_, container);
}

AdoptionLog* AdoptionLog::handed_to() const noexcept {
    switch (kept_as_) {
        case Kept::Up: return made_for_;
        case Kept::Same: return nearest(outer_, container_);
        case Kept::Drop:
        case Kept::Pass: break;
    }
    return nearest_taker(outer_, container_);
}

void AdoptionLog::open_claims() noexcept {
    if (ClaimScope::current()) return;
    // In the last log the adoptions are handed on to, so that they stay
    // claimed until the whole operation stands.
    AdoptionLog* last = this;
    while (AdoptionLog* next = last->handed_to()) last = next;
    if (!last->claims_) last->claims_.emplace();
}

void AdoptionLog::claims_for(PyObject* container) noexcept {
    if (ClaimScope::current()) return;
    if (AdoptionLog* log = taking(container)) log->open_claims();
}

void AdoptionLog::take(Adoption&& a) noexcept {
    // The child stays claimed to the log's end; one another thread claimed
    // meanwhile is taken all the same, and claimed again to be given back.
    open_claims();
    if (ClaimScope* scope = ClaimScope::current())
        if (a.stamped_) (void)claim_quietly(*scope, a.stamped_.get());
    // Without the memory to keep it, the adoption stands as it would have
    // without a log.
    try {
        taken_.push_back(std::move(a));
    } catch (...) {
    }
}

void AdoptionLog::hand_on() noexcept {
    if (AdoptionLog* to = handed_to())
        for (Adoption& a : taken_) to->take(std::move(a));
    taken_.clear();
}

void AdoptionLog::keep(std::size_t begin, std::size_t end, bool settle) noexcept {
    AdoptionLog* to = settle ? nullptr : handed_to();
    // Each left in its place empty, so the marks after it still count.
    for (std::size_t k = begin; k < end && k < taken_.size(); ++k) {
        Adoption a = std::move(taken_[k]);
        taken_[k] = Adoption{};
        if (to) to->take(std::move(a));
    }
}

void AdoptionLog::undo() noexcept {
    settled_ = true;
    undo_since(0);
}

void AdoptionLog::undo_since(std::size_t mark) noexcept {
    if (taken_.size() <= mark) return;
    PyObject* pending = PyErr_GetRaisedException();
    {
        // Each child is claimed for its giving back (the operation's own
        // claims are re-entered): one another thread writes now took its
        // own road meanwhile, and is left to it.
        ClaimScope claims;
        while (taken_.size() > mark) {
            Adoption& a = taken_.back();
            if (!a.stamped_ || claim_quietly(claims, a.stamped_.get())) a.undo();
            taken_.pop_back();
        }
    }
    PyErr_SetRaisedException(pending);
}

bool adopt_child(PyObject* child, const AdoptArgs& a, Adoption& out) {
    out = Adoption{};
    out.container_ = a.container;
    out.given_ = a.parent_to_set;
    // Into a node a construction of this thread spans (one of its own
    // writes, such as its spec's write-back of a member): the child's hooks
    // meet the node closed, as they meet it during the construction's own
    // adoptions (py/write_span.hpp).
    std::optional<py::WriteSpan> closed;
    if (a.container && py::WriteSpan::of(a.container))
        closed.emplace(a.container, py::WriteSpan::Mode::Closed);
    if (a.adopting) {
        // Claimed where the write claims; a caller without a scope claims
        // for the adoption alone.
        std::optional<ClaimScope> own;
        ClaimScope* scope = ClaimScope::current();
        if (!scope) scope = &own.emplace();
        Adopter adopter{a, out, *scope, {}, false};
        if (adopter.in_tree(py::Ref::borrow(child))) return true;
        out.undo();
        return false;
    }
    const int symbolic = is_symbolic(child);
    if (symbolic < 0) return false;
    if (symbolic && unstamp_phantom_path(a.key, child, a.owner_path) < 0) return false;
    out.value = py::Ref::borrow(child);
    return true;
}

py::Ref adopt_child(PyObject* child, const AdoptArgs& a) {
    // Claimed where an operation's log keeps it claimed to the end.
    if (a.adopting) AdoptionLog::claims_for(a.container);
    Adoption adopted;
    if (!adopt_child(child, a, adopted)) return {};
    adopted.stored();
    return std::move(adopted.value);
}

int may_close_cycle(PyObject* container, PyObject* child) {
    if (child == container) return 1;
    ClaimScope* scope = ClaimScope::current();
    if (!scope) return 1;  // the full check tells
    if (scope->tree(container) < 0) return -1;
    return scope->on_chain(container, child) || scope->chain_loops(container) ||
           Stamping::under_way() > 0;
}

int refuse_cycle(PyObject* child, const AdoptArgs& a) {
    if (!a.adopting || is_primitive(child)) return 0;
    const int symbolic = is_symbolic(child);
    if (symbolic < 0) return -1;
    const int aware = symbolic ? 1 : is_topology_aware(child);
    if (aware <= 0) return aware;
    if (symbolic) {
        // Only a child its adoption would place as it is: one whose tree is
        // off, that its policy takes untouched or clones, or that has a
        // parent (in place, or held elsewhere: its own road decides) meets
        // no guard there either.
        ChildState state;
        const int native = read_child_state(child, state);
        if (native < 0) return -1;
        const int topo = native ? state.enable_topo : strict_topology_flag(child);
        if (topo <= 0) return topo;
        const Policy policy = parse_policy(a.policy);
        if (policy == Policy::Ref || policy == Policy::Clone) {
            const int inferential = is_inferential(child);
            if (inferential != 0) return inferential < 0 ? -1 : 0;
        }
        Placement where;
        if (native)
            where = placement_of(std::move(state));
        else if (!read_placement(child, where))
            return -1;
        if (where.parent || (a.claimed && a.claimed->contains(child))) return 0;
    }
    ClaimScope* scope = ClaimScope::current();
    if (!scope) {
        py::raise_internal("a cycle check outside its write's claim scope");
        return -1;
    }
    py::Ref new_path = topology::child_key_path(a.key, a.owner_path);
    return new_path ? cycle_guard(*scope, a.container, child, new_path.get()) : -1;
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

int carries_phantom_path(PyObject* key, PyObject* child, PyObject* owner_path) {
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
    return PyObject_RichCompareBool(where.path.get(), would_be.get(), Py_EQ);
}

int unstamp_phantom_path(PyObject* key, PyObject* child, PyObject* owner_path) {
    const int phantom = carries_phantom_path(key, child, owner_path);
    if (phantom <= 0) return phantom;
    const ContainerBridge* b = container_bridge();
    if (!b) return -1;
    return call_method_void<"topo_setpath">(child, b->empty_key_path.get());
}

}  // namespace vesk::symbolic
