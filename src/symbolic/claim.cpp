#include "symbolic/claim.hpp"

#include "py/critical_section.hpp"
#include "py/mutex.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/calls.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/momentary.hpp"
#include "symbolic/node_ops.hpp"
#include "topology/key_path.hpp"

#include <pthread.h>

#include <array>
#include <atomic>
#include <vector>

namespace vesk::symbolic {

namespace {

// A placement turns to Storing just before its store: from there on it makes
// the node held elsewhere for no other placement that comes while the
// session is settled (the node's own state, stamped in full, tells where it
// sits), unless it gives no parent, which that state would not show.
enum class Aim : unsigned char { Place, Storing, LetGo, Settle, SetRight };

// One write on the node. Its pointers are borrowed: the writer keeps them
// alive while it is in the session.
struct Writer {
    std::uint64_t id;
    PyThreadState* thread;
    Aim aim;
    bool shared;          // another write has been in the session with it
    PyObject* container;  // where the write stores or stored the node
    PyObject* parent;     // what the members of `container` get as parent
    PyObject* key;        // Place, Settle: the key it stamps the node for
    bool first = false;   // LetGo: the write that lets the node go (not overtaking)
};

// Where a write that left the session stored or meant to store the node:
// what setting the node right looks through.
struct Holder {
    py::Ref container;
    py::Ref parent;
};

struct Entry {
    PyObject* node;  // by identity
    std::vector<Writer> in;
    std::vector<Holder> gone;  // of writes that left while others stayed
    bool met = false;        // writes with different aims were in at once
    bool owed = false;       // a write left without letting it go, as it was to
    bool handed = false;     // a placement left before its store (a bulk one)
    // A write stored over the node while the write letting it go first was
    // in: that write lets it go, whatever its own store does.
    bool overtook = false;
};

// A few nodes at a time hash to one shard: a short vector is searched
// faster than any map. `count` mirrors the number of entries for readers
// that look only whether a node is claimed: written under the lock and read
// without it, both sequentially consistent, so of two writes that each
// claim a node and then look at the other's, at least one sees the other's
// claim.
struct alignas(64) Shard {
    py::SpinMutex mutex;
    std::atomic<std::size_t> count{0};
    std::vector<Entry> entries;
};

constexpr std::size_t kShards = 64;
std::array<Shard, kShards> SHARDS;
std::atomic<std::uint64_t> NEXT_ID{1};

// How many times the last write out sets a node right while others keep
// meeting it meanwhile; each of them is then in the session and sets it
// right in turn, so this only bounds one thread's share.
constexpr int kSetRightRounds = 8;

// In the child of a fork only the forking thread lives on: the writes of the
// others stopped mid-way. The child keeps the forking thread's own. The
// references of what the lost writes held are let go without being dropped
// (the interpreter is not ready for it here): a small leak, once per fork.
void restart_in_child() noexcept {
    PyThreadState* self = PyThreadState_GetUnchecked();
    for (Shard& shard : SHARDS) {
        for (Entry& e : shard.entries) {
            std::erase_if(e.in, [self](const Writer& w) { return w.thread != self; });
            if (e.in.empty())
                for (Holder& h : e.gone) {
                    (void)h.container.release();
                    (void)h.parent.release();
                }
        }
        std::erase_if(shard.entries, [](const Entry& e) { return e.in.empty(); });
        shard.count.store(shard.entries.size(), std::memory_order_seq_cst);
    }
}

[[maybe_unused]] const int kForkHandler = pthread_atfork(nullptr, nullptr, restart_in_child);

Shard& shard_of(PyObject* node) noexcept {
    const auto bits = reinterpret_cast<std::uintptr_t>(node) >> 4;
    return SHARDS[(bits * 0x9E3779B97F4A7C15ull) >> 58];
}

Entry* find(Shard& shard, PyObject* node) noexcept {
    for (Entry& e : shard.entries)
        if (e.node == node) return &e;
    return nullptr;
}

Writer* writer_of(Entry& e, std::uint64_t id) noexcept {
    for (Writer& w : e.in)
        if (w.id == id) return &w;
    return nullptr;
}

// Whether a write of aim `aim` at `key` of `container` means what `w` means
// for the node: the same place, or letting it go.
bool same_aim(const Writer& w, Aim aim, PyObject* container, PyObject* key) noexcept {
    const bool placing = aim == Aim::Place || aim == Aim::Storing || aim == Aim::Settle;
    const bool w_placing = w.aim == Aim::Place || w.aim == Aim::Storing || w.aim == Aim::Settle;
    if (placing && w_placing) return w.container == container && same_slot_key(w.key, key);
    return aim == Aim::LetGo && w.aim == Aim::LetGo;
}

// Enters a write into the node's session (the shard locked); `e` is the
// node's entry or null for a new session.
Writer& enter(Shard& shard, Entry* e, PyObject* node, Aim aim, PyObject* container,
              PyObject* parent, PyObject* key, std::uint64_t& id) {
    if (!e) {
        shard.entries.push_back(Entry{node, {}, {}});
        shard.count.store(shard.entries.size(), std::memory_order_seq_cst);
        e = &shard.entries.back();
    }
    bool shared = false;
    for (Writer& w : e->in) {
        w.shared = shared = true;
        if (!same_aim(w, aim, container, key)) e->met = true;
    }
    id = NEXT_ID.fetch_add(1, std::memory_order_relaxed);
    e->in.push_back(Writer{id, PyThreadState_GetUnchecked(), aim, shared, container, parent, key});
    return e->in.back();
}

bool thread_is_in(const Entry& e) noexcept {
    PyThreadState* self = PyThreadState_GetUnchecked();
    for (const Writer& w : e.in)
        if (w.thread == self) return true;
    return false;
}

// Removes the entry of `node`, handing its references back to drop once the
// lock is let go.
std::vector<Holder> erase_entry(Shard& shard, PyObject* node) noexcept {
    std::vector<Holder> gone;
    std::vector<Entry>& entries = shard.entries;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].node != node) continue;
        gone = std::move(entries[i].gone);
        if (i + 1 != entries.size()) entries[i] = std::move(entries.back());
        entries.pop_back();
        shard.count.store(entries.size(), std::memory_order_seq_cst);
        break;
    }
    return gone;
}

// Where `container` holds `node` (by identity): 1 with its key in `key`, 0
// when it holds it nowhere, -1 (no exception) when that cannot be told. A
// dictionary or list is searched in one critical section, so members that
// other threads move meanwhile are neither missed nor met twice.
int key_holding(const NodeOps& ops, PyObject* container, PyObject* node, py::Ref& key) {
    if (PyList_Check(container)) {
        Py_ssize_t at = -1;
        {
            py::CriticalSection guard(container);
            for (Py_ssize_t i = 0, n = PyList_GET_SIZE(container); i < n && at < 0; ++i)
                if (PyList_GET_ITEM(container, i) == node) at = i;
        }
        if (at < 0) return 0;
        key = py::Ref::steal(PyLong_FromSsize_t(at));
    } else if (PyDict_Check(container)) {
        py::CriticalSection guard(container);
        Py_ssize_t pos = 0;
        PyObject *k = nullptr, *v = nullptr;
        while (PyDict_Next(container, &pos, &k, &v))
            if (v == node) {
                key = py::Ref::borrow(k);
                return 1;
            }
        return 0;
    } else {
        auto look = [node, &key](PyObject* k, PyObject* child) {
            if (child == node && !key) key = py::Ref::borrow(k);
            return 0;
        };
        if (ops.each_child(container, visitor(look)) < 0) key.reset();
        if (!key) return PyErr_Occurred() ? (PyErr_Clear(), -1) : 0;
    }
    if (key) return 1;
    PyErr_Clear();
    return -1;
}

// Sets `node` right from where it is stored among `holders`: the path and
// parent of the first that holds it; when none does, let go (unless a
// placement still to be stored may be what holds it next).
// Best effort: a failure is dropped.
void set_right(PyObject* node, const std::vector<Holder>& holders, bool let_go) noexcept {
    for (const Holder& h : holders) {
        const NodeOps* ops = node_ops(h.container.get());
        py::Ref key;
        const int held = ops ? key_holding(*ops, h.container.get(), node, key) : -1;
        if (held < 0) let_go = false;  // it may be there
        if (held <= 0) continue;
        py::Ref owner_path;
        if (past_momentary_holds([&] {
                return ops->get_role(h.container.get(), kernel::record::kRolePath, owner_path);
            }) < 0) {
            PyErr_Clear();
            return;
        }
        py::Ref path = topology::child_key_path(key.get(), owner_path.get());
        if (!path ||
            past_momentary_holds(
                [&] { return call_method_void<"topo_setpath">(node, path.get()); }) < 0) {
            PyErr_Clear();
            return;
        }
        PyObject* parent = h.parent.get();
        if (parent && parent != Py_None &&
            past_momentary_holds(
                [&] { return call_method_void<"topo_setparent">(node, parent); }) < 0)
            PyErr_Clear();
        return;
    }
    // Held by none of them: let go, as a write that replaces it lets go.
    if (!let_go) return;
    const int topo_aware = is_topology_aware(node);
    if (topo_aware <= 0 || !lenient_topology_flag(node)) {
        PyErr_Clear();
        return;
    }
    const ContainerBridge* b = container_bridge();
    if (!b ||
        past_momentary_holds(
            [&] { return call_method_void<"topo_setparent">(node, Py_None); }) < 0) {
        PyErr_Clear();
        return;
    }
    py::Ref empty = py::Ref::steal(PyObject_CallNoArgs(b->keypath_cls.get()));
    if (!empty ||
        past_momentary_holds(
            [&] { return call_method_void<"topo_setpath">(node, empty.get()); }) < 0)
        PyErr_Clear();
}

}  // namespace

bool same_slot_key(PyObject* a, PyObject* b) noexcept {
    if (a == b) return true;
    if (!a || !b || Py_TYPE(a) != Py_TYPE(b)) return false;
    if (PyUnicode_CheckExact(a)) return PyUnicode_Compare(a, b) == 0;
    if (PyLong_CheckExact(a)) return PyObject_RichCompareBool(a, b, Py_EQ) == 1;
    return false;
}

Claim::Taken Claim::place(PyObject* node, PyObject* container, PyObject* parent, PyObject* key) {
    leave();
    Shard& shard = shard_of(node);
    py::MutexLock lock(shard.mutex);
    Entry* e = find(shard, node);
    bool joined = false;
    bool yielded = false;
    if (e) {
        if (thread_is_in(*e)) return Taken::Reentered;
        for (const Writer& w : e->in) {
            if (w.aim == Aim::LetGo) {
                // Letting it go from the very slot this write would place it
                // in: this write comes first, finding it in place.
                if (w.container == container && w.key && key && same_slot_key(w.key, key)) {
                    yielded = true;
                    continue;
                }
                return Taken::Busy;
            }
            if (w.aim != Aim::Place && w.aim != Aim::Storing) continue;
            if (same_aim(w, Aim::Place, container, key)) {
                joined = true;
            } else if (w.aim == Aim::Place || !w.parent || w.parent == Py_None || e->met) {
                // A placement about to store counts only through the node's
                // state, and that state tells where it sits only while no
                // other aim has met it.
                return Taken::Busy;
            }
        }
    }
    if (yielded) return Taken::Yielded;
    // Unsettled by what happened before this write came (its own coming
    // makes the others meet it, but their calls on the node are done or are
    // the same as its own).
    bool unsettled = e && (e->met || e->owed);
    if (e) {
        for (const Writer& w : e->in) unsettled = unsettled || w.aim == Aim::SetRight;
    }
    enter(shard, e, node, Aim::Place, container, parent, key, id_);
    unsettled_ = unsettled;
    node_ = node;
    return joined ? Taken::Joined : Taken::Sole;
}

Claim::Taken Claim::let_go(PyObject* node, PyObject* container, PyObject* parent,
                           PyObject* key) {
    leave();
    Shard& shard = shard_of(node);
    py::MutexLock lock(shard.mutex);
    Entry* e = find(shard, node);
    bool overtaking = false;
    if (e) {
        if (thread_is_in(*e)) return Taken::Reentered;
        bool placing = false;
        for (const Writer& w : e->in) {
            if (w.aim == Aim::LetGo) overtaking = true;
            if (w.aim == Aim::Place || w.aim == Aim::Storing) overtaking = placing = true;
        }
        // A placement does not let it go: unless stored again, it is owed.
        if (placing) e->owed = true;
    }
    enter(shard, e, node, Aim::LetGo, container, parent, key, id_).first = !overtaking;
    node_ = node;
    return overtaking ? Taken::Overtaking : Taken::Sole;
}

void Claim::settle(PyObject* node, PyObject* container, PyObject* parent, PyObject* key) {
    leave();
    Shard& shard = shard_of(node);
    py::MutexLock lock(shard.mutex);
    Entry* e = find(shard, node);
    if (e && thread_is_in(*e)) return;
    enter(shard, e, node, Aim::Settle, container, parent, key, id_);
    node_ = node;
}

void Claim::mark_storing() noexcept {
    Shard& shard = shard_of(node_);
    py::MutexLock lock(shard.mutex);
    Entry* e = find(shard, node_);
    if (Writer* w = e ? writer_of(*e, id_) : nullptr; w && w->aim == Aim::Place)
        w->aim = Aim::Storing;
}

bool Claim::alone() const noexcept {
    if (!node_) return true;
    Shard& shard = shard_of(node_);
    py::MutexLock lock(shard.mutex);
    Entry* e = find(shard, node_);
    const Writer* w = e ? writer_of(*e, id_) : nullptr;
    return w && !w->shared && !e->met;
}

int Claim::stored_where(PyObject* said_parent, py::Ref& container, py::Ref& key) const {
    if (!node_) return 0;
    std::vector<Holder> holders;
    {
        Shard& shard = shard_of(node_);
        py::MutexLock lock(shard.mutex);
        Entry* e = find(shard, node_);
        if (!e) return 0;
        if (e->handed) return -1;
        holders = e->gone;
        for (const Writer& w : e->in)
            holders.push_back(Holder{py::Ref::borrow(w.container), py::Ref::borrow(w.parent)});
    }
    bool unknown = false;
    if (said_parent) {
        bool among = false;
        for (const Holder& h : holders)
            among = among || h.parent.get() == said_parent || h.container.get() == said_parent;
        unknown = !among;
    }
    for (const Holder& h : holders) {
        const NodeOps* ops = node_ops(h.container.get());
        const int held = ops ? key_holding(*ops, h.container.get(), node_, key) : -1;
        if (held > 0) {
            container = h.container;
            return 1;
        }
        unknown = unknown || held < 0;
    }
    return unknown ? -1 : 0;
}

bool Claim::stored_over() noexcept {
    if (!node_) return false;
    {
        Shard& shard = shard_of(node_);
        py::MutexLock lock(shard.mutex);
        Entry* e = find(shard, node_);
        bool first_in = false;
        if (e)
            for (const Writer& w : e->in)
                if (w.aim == Aim::LetGo && w.first) first_in = true;
        if (first_in) {
            e->overtook = true;
            return false;
        }
    }
    return true;
}

bool Claim::end(bool owing, bool handing, bool unless_overtook) noexcept {
    if (!node_) return false;
    PyObject* node = node_;
    const std::uint64_t id = id_;
    Shard& shard = shard_of(node);
    std::vector<Holder> holders;  // to set the node right from, or to drop
    bool let_go = false;
    PyObject* container = nullptr;
    PyObject* parent = nullptr;
    {
        py::MutexLock lock(shard.mutex);
        Entry* e = find(shard, node);
        Writer* w = e ? writer_of(*e, id) : nullptr;
        if (w && unless_overtook && e->overtook) return true;
        node_ = nullptr;
        id_ = 0;
        unsettled_ = false;
        if (!w) return false;
        container = w->container;
        parent = w->parent;
        e->in.erase(e->in.begin() + (w - e->in.data()));
        if (owing) e->owed = true;
        if (handing) e->handed = true;
        if (!e->in.empty()) {
            // The others set the node right when they are done, looking here too.
            e->gone.push_back(Holder{py::Ref::borrow(container), py::Ref::borrow(parent)});
            return false;
        }
        if (!e->met && !e->owed) {
            holders = erase_entry(shard, node);
        } else {
            // The last one out sets the node right; meanwhile it stays in,
            // so a write that comes sees the session and meets it.
            let_go = !e->handed;
            e->met = e->owed = false;
            holders = e->gone;
            enter(shard, e, node, Aim::SetRight, container, parent, nullptr, id_);
            node_ = node;
        }
    }
    if (!node_) return false;  // dropped here, with the lock let go

    // Setting right runs Python code: the pending exception, if any, is
    // kept, and the node is kept alive by this write meanwhile.
    PyObject* pending = PyErr_GetRaisedException();
    py::Ref keep = py::Ref::borrow(node);
    holders.push_back(Holder{py::Ref::borrow(container), py::Ref::borrow(parent)});
    for (int round = 0;; ++round) {
        set_right(node, holders, let_go);
        holders.clear();
        py::MutexLock lock(shard.mutex);
        Entry* e = find(shard, node);
        Writer* w = e ? writer_of(*e, id_) : nullptr;
        if (!w) break;
        e->in.erase(e->in.begin() + (w - e->in.data()));
        if (!e->in.empty()) {
            e->gone.push_back(Holder{py::Ref::borrow(container), py::Ref::borrow(parent)});
            break;
        }
        if ((!e->met && !e->owed) || round + 1 >= kSetRightRounds) {
            holders = erase_entry(shard, node);
            break;
        }
        let_go = !e->handed;
        e->met = e->owed = false;
        holders = e->gone;
        holders.push_back(Holder{py::Ref::borrow(container), py::Ref::borrow(parent)});
        enter(shard, e, node, Aim::SetRight, container, parent, nullptr, id_);
    }
    node_ = nullptr;
    id_ = 0;
    holders.clear();
    PyErr_SetRaisedException(pending);
    return false;
}

py::Ref claimed_destination(PyObject* node) {
    Shard& shard = shard_of(node);
    if (shard.count.load(std::memory_order_seq_cst) == 0) return {};
    // A new reference, taken while the placing write (which keeps it alive)
    // is in.
    py::MutexLock lock(shard.mutex);
    if (const Entry* e = find(shard, node))
        for (const Writer& w : e->in)
            if (w.aim == Aim::Place || w.aim == Aim::Storing)
                return py::Ref::borrow(w.parent && w.parent != Py_None ? w.parent : w.container);
    return {};
}

bool in_motion(PyObject* node) noexcept {
    Shard& shard = shard_of(node);
    if (shard.count.load(std::memory_order_seq_cst) == 0) return false;
    py::MutexLock lock(shard.mutex);
    return find(shard, node) != nullptr;
}

}  // namespace vesk::symbolic
