#include "symbolic/container/pass_log.hpp"

#include "py/critical_section.hpp"
#include "py/hold.hpp"
#include "symbolic/child_state.hpp"
#include "symbolic/classes.hpp"
#include "symbolic/container/sorting.hpp"
#include "symbolic/container/state.hpp"
#include "symbolic/momentary.hpp"
#include "typing/applied_members.hpp"

#include <memory>
#include <new>
#include <unordered_set>
#include <utility>

namespace vesk::symbolic {

namespace {

[[gnu::tls_model("initial-exec")]] thread_local PassLog* t_innermost = nullptr;
[[gnu::tls_model("initial-exec")]] thread_local ConstructionLog* t_constructions = nullptr;
// Orders the thread's logs and constructions by when they opened.
[[gnu::tls_model("initial-exec")]] thread_local std::uint64_t t_seq = 0;

// What an apply may change of the state, read as it begins.
struct Snapshot {
    py::Ref spec;
    bool allow_partial = false;
    bool loosened = false;
};

template <class S>
int read_snapshot(PyObject* self, Snapshot& out) {
    // Another thread may hold the state for a moment (a flag read or set).
    return past_momentary_holds([&] {
        py::Shared<S> held(self);
        if (!held) return -1;
        out.spec = held->value_spec;
        out.allow_partial = held->node.allow_partial;
        out.loosened = held->loosened.load(std::memory_order_relaxed);
        return 0;
    });
}

template <class S>
void write_snapshot(PyObject* self, Snapshot& in) noexcept {
    py::Ref dropped;
    const int r = past_momentary_holds([&] {
        py::Exclusive<S> held(self);
        if (!held) return -1;
        const bool rebound = held->value_spec.get() != in.spec.get();
        if (rebound) dropped = std::exchange(held->value_spec, std::move(in.spec));
        if (rebound || held->node.allow_partial != in.allow_partial) held->spec_replaced();
        held->node.allow_partial = in.allow_partial;
        held->loosened.store(in.loosened, std::memory_order_relaxed);
        return 0;
    });
    if (r < 0) PyErr_Clear();
}

}  // namespace

PassLog::~PassLog() {
    if (pushed_ && !settled_) abort();
    adoptions_.reset();
    pop();
    claims_.reset();
}

void PassLog::pop() noexcept {
    if (!pushed_) return;
    t_innermost = outer_;
    pushed_ = false;
}

int PassLog::begin(PyObject* container, bool members) {
    container_ = py::Ref::borrow(container);
    // A SymList or a SymDict: a list is the one that extends `list`.
    list_ = PyList_Check(container);
    // In the claim scope of the operation the apply is part of (a write
    // placing the container, an enclosing apply), which outlives it; else
    // in its own.
    ClaimScope* scope = ClaimScope::current();
    if (!scope) scope = &claims_.emplace();
    const PassMark mark = !members ? (scope->exclusive(container) < 0 ? PassMark::Refused
                                                                      : PassMark::Mine)
                          : list_  ? claim_and_mark<ListState>(*scope, container)
                                   : claim_and_mark<DictState>(*scope, container);
    if (mark == PassMark::Refused) return -1;
    marked_ = mark == PassMark::Taken;
    Snapshot now;
    if ((list_ ? read_snapshot<ListState>(container, now)
               : read_snapshot<DictState>(container, now)) < 0) {
        end_mark();
        return -1;
    }
    spec_ = std::move(now.spec);
    allow_partial_ = now.allow_partial;
    loosened_ = now.loosened;
    outer_ = t_innermost;
    t_innermost = this;
    pushed_ = true;
    seq_ = ++t_seq;
    adoptions_.emplace(container, AdoptionLog::Kept::Pass);
    return 0;
}

PassLog* PassLog::of(PyObject* container) noexcept { return open_log_of(t_innermost, container); }

std::optional<bool> PassLog::prior_allow_partial(PyObject* container) noexcept {
    for (PassLog* log = of(container); log; log = open_log_of(log->outer_, container))
        if (log->prior_allow_partial_) return log->prior_allow_partial_;
    return std::nullopt;
}

std::size_t PassLog::mark() const noexcept {
    return construction_ ? construction_->size() : adoptions_ ? adoptions_->size() : 0;
}

void PassLog::keep(Entry&& e) noexcept {
    // Without the memory to keep it, the store stands as any write's would.
    try {
        entries_.push_back(std::move(e));
    } catch (...) {
    }
}

void PassLog::stored_at(py::Ref value, py::Ref replaced, Py_ssize_t pos,
                        std::size_t mark) noexcept {
    Entry e;
    e.value = std::move(value);
    e.replaced = std::move(replaced);
    e.pos = pos;
    e.mark = mark;
    keep(std::move(e));
}

void PassLog::stored_under(py::Ref key, py::Ref value, py::Ref replaced, Placement placed,
                           bool give_back, std::size_t mark) noexcept {
    Entry e;
    e.key = std::move(key);
    e.value = std::move(value);
    e.replaced = std::move(replaced);
    e.placed = std::move(placed);
    e.give_back = give_back;
    e.mark = mark;
    keep(std::move(e));
}

bool PassLog::defer(const py::Ref& update) noexcept {
    try {
        updates_.push_back(Update{{}, update});
    } catch (...) {
        return false;
    }
    return true;
}

void PassLog::end_mark() noexcept {
    if (!marked_) return;
    marked_ = false;
    if (list_) release_mark<ListState>(container_.get());
    else release_mark<DictState>(container_.get());
}

void PassLog::hand_on(PassLog& to, bool foreign) noexcept {
    // Each store with the adoptions made for it: their marks count from
    // where `to`'s adoptions end now.
    const std::size_t base = to.mark();
    const std::size_t taken = mark();
    if (foreign) adoptions().keep_into(to.adoptions());
    else adoptions_->keep();
    const bool moved = to.mark() == base + taken;
    try {
        if (foreign && !construction_) {
            // The member's binding and flags as they were, given back after
            // everything it kept.
            Entry was;
            was.container = container_;
            was.list = list_;
            was.state = true;
            was.value = spec_;
            was.give_back = allow_partial_;
            was.loosened = loosened_;
            was.mark = base;
            to.entries_.push_back(std::move(was));
        }
        for (Entry& e : entries_) {
            e.mark = moved ? base + e.mark : to.mark();
            if (foreign && !e.container) {
                e.container = container_;
                e.list = list_;
            }
            to.entries_.push_back(std::move(e));
        }
        for (Update& u : updates_) {
            if (foreign && !u.container) u.container = container_;
            to.updates_.push_back(std::move(u));
        }
    } catch (...) {
    }
    entries_.clear();
    updates_.clear();
}

int PassLog::commit() {
    settled_ = true;
    // Writes of this thread are welcome again: the notifications below may
    // make some.
    end_mark();
    if (PassLog* outer = open_log_of(outer_, container_.get())) {
        // The enclosing apply of the container decides.
        hand_on(*outer, false);
        outer->strict_check_ |= strict_check_;
        return 0;
    }
    if (strict_check_) {
        // Its members passed the bound spec under the strict flag.
        auto& state = list_ ? py::state<ListState>(container_.get()).loosened
                            : py::state<DictState>(container_.get()).loosened;
        state.store(false, std::memory_order_relaxed);
    }
    // A member applied inside the apply of what holds it: that apply
    // decides on it too, unless this one changed nothing it could give back.
    PassLog* holder =
        changed() ? holder_log(outer_, t_constructions, container_.get(), this) : nullptr;
    if (holder) {
        hand_on(*holder, true);
        return 0;
    }
    adoptions_->keep();
    entries_.clear();
    return send_updates();
}

bool PassLog::changed() const noexcept {
    if (!entries_.empty() || !updates_.empty() || mark() != 0) return true;
    Snapshot now;
    if ((list_ ? read_snapshot<ListState>(container_.get(), now)
               : read_snapshot<DictState>(container_.get(), now)) < 0) {
        PyErr_Clear();
        return true;
    }
    return now.spec.get() != spec_.get() || now.allow_partial != allow_partial_ ||
           now.loosened != loosened_;
}

int PassLog::send_updates() {
    std::vector<Update> updates = std::move(updates_);
    updates_.clear();
    for (const Update& u : updates)
        if (dict::notify(u.container ? u.container.get() : container_.get(), u.update) < 0)
            return -1;
    return 0;
}

bool PassLog::give_back_entry(const Entry& e) noexcept {
    PyObject* c = e.container ? e.container.get() : container_.get();
    const bool list = e.container ? e.list : list_;
    if (e.state) {
        Snapshot then{e.value, e.give_back, e.loosened};
        if (list) write_snapshot<ListState>(c, then);
        else write_snapshot<DictState>(c, then);
        return true;
    }
    if (list) return list::unstore_at(c, e.value.get(), e.replaced.get(), e.pos);
    return dict::unstore(c, e.key.get(), e.value.get(), e.replaced.get(), e.placed, e.give_back);
}

void PassLog::abort() noexcept {
    settled_ = true;
    PyObject* pending = PyErr_GetRaisedException();
    AdoptionLog& adoptions = this->adoptions();
    // Latest first: each store with the adoptions made for it, so a member
    // one write-back let go and a later one placed again ends where it was.
    // A store is taken back before its adoptions, so what it replaced is
    // back in its place first; one whose replaced member will not come back
    // stands, with the adoptions made for it, which no enclosing log gives
    // back either (it does not know the store).
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
        if (it->stands) continue;
        if (it->state) {
            adoptions.undo_since(it->mark);
            (void)give_back_entry(*it);
        } else if (give_back_entry(*it)) {
            adoptions.undo_since(it->mark);
        } else {
            adoptions.keep(it->mark, adoptions.size(), true);
        }
    }
    entries_.clear();
    updates_.clear();
    // A construction's own adoptions are its AdoptionLog's to give back.
    if (!construction_) {
        adoptions.undo();
        Snapshot then{std::move(spec_), allow_partial_, loosened_};
        if (list_) write_snapshot<ListState>(container_.get(), then);
        else write_snapshot<DictState>(container_.get(), then);
        end_mark();
    }
    PyErr_SetRaisedException(pending);
}

PassLog* PassLog::open_log_of(PassLog* log, PyObject* container) noexcept {
    for (; log; log = log->outer_)
        if (log->container_.get() == container && !log->settled_) return log;
    return nullptr;
}

PassLog* PassLog::holder_log(PassLog* log, ConstructionLog* frames, PyObject* container,
                            const PassLog* committing) noexcept {
    while (log && log->settled_) log = log->outer_;
    if (!log && !frames) return nullptr;
    // The open logs outward are few, and a member being applied sits a few
    // levels below the container whose pass applies it.
    constexpr int kDepth = 64;
    PyObject* chain[kDepth];
    py::Ref held[kDepth];
    int n = 0;
    py::Ref node = py::Ref::borrow(container);
    while (n < kDepth) {
        py::Ref parent;
        if (native_parent(node.get(), parent) <= 0) {
            PyErr_Clear();
            break;
        }
        if (!parent) break;
        chain[n] = parent.get();
        held[n++] = parent;
        node = std::move(parent);
    }
    // Nearest first: a construction opened inside a pass comes before it.
    for (;;) {
        while (log && log->settled_) log = log->outer_;
        if (frames && (!log || frames->seq_ > log->seq_)) {
            if (frames->holds(container, chain, n) ||
                (committing && frames->holds_any_of(*committing)))
                return frames->log();
            frames = frames->outer_;
        } else if (log) {
            if (log->holds(chain, n)) return log;
            log = log->outer_;
        } else {
            return nullptr;
        }
    }
}

bool PassLog::holds(PyObject* const* chain, int n) const noexcept {
    for (int i = 0; i < n; ++i)
        if (chain[i] == container_.get()) return true;
    return false;
}

ConstructionLog::ConstructionLog(PyObject* node, PyObject* arguments,
                                 AdoptionLog& adoptions) noexcept
    : node_(node),
      arguments_(arguments),
      adoptions_(&adoptions),
      below_(t_innermost),
      outer_(t_constructions),
      seq_(++t_seq) {
    t_constructions = this;
}

ConstructionLog::~ConstructionLog() {
    // Off the chain first: what the giving back runs stands on its own.
    pop();
    if (!taken_) return;
    taken_->abort();
    delete taken_;
}

void ConstructionLog::pop() noexcept {
    if (!pushed_) return;
    t_constructions = outer_;
    pushed_ = false;
}

int ConstructionLog::settle(bool to_holder) {
    PassLog* log = std::exchange(taken_, nullptr);
    log->settled_ = true;
    int r = 0;
    // What it took stands with the construction, unless an operation that
    // holds the node it built, or any container it took, decides on them too.
    PassLog* holder = to_holder ? PassLog::holder_log(below_, outer_, node_, log) : nullptr;
    if (holder) {
        log->hand_on(*holder, true);
    } else {
        log->entries_.clear();
        r = log->send_updates();
    }
    delete log;
    return r;
}

void ConstructionLog::fail_keeping(const std::vector<std::pair<Taken, Taken>>& kept) noexcept {
    pop();
    PassLog* log = std::exchange(taken_, nullptr);
    if (!log) return;
    // The updates of what stands, each naming its container (a member's,
    // handed on).
    std::vector<PassLog::Update> told;
    try {
        for (const auto& [from, to] : kept) {
            for (std::size_t i = from.entries; i < to.entries && i < log->entries_.size(); ++i)
                log->entries_[i].stands = true;
            for (std::size_t i = from.updates; i < to.updates && i < log->updates_.size(); ++i)
                told.push_back(std::move(log->updates_[i]));
        }
    } catch (...) {
        // Without the memory to keep them, what stands is not reported.
    }
    log->abort();
    log->updates_ = std::move(told);
    PyObject* pending = PyErr_GetRaisedException();
    if (log->send_updates() < 0) PyErr_Clear();
    delete log;
    PyErr_SetRaisedException(pending);
}

bool ConstructionLog::holds_any_of(const PassLog& committing) noexcept {
    for (const PassLog::Entry& e : committing.entries_)
        if (e.container && is_argument(e.container.get())) return true;
    return false;
}

bool ConstructionLog::holds(PyObject* container, PyObject* const* chain, int n) noexcept {
    if (container == node_ || is_argument(container)) return true;
    for (int i = 0; i < n; ++i)
        if (chain[i] == node_ || is_argument(chain[i])) return true;
    return false;
}

struct ConstructionLog::Given {
    std::unordered_set<PyObject*> ids;
    std::vector<py::Ref> held;  // keeps each alive, so no other takes its address

    // `value`, and the items of a plain list, tuple or dict it is, down to
    // `depth` levels: a container a construction wraps or copies from one
    // it was given holds that one's items. Each container is read in one
    // locked step; no Python code runs.
    void gather(PyObject* value, int depth) {
        if (!ids.insert(value).second) return;
        held.push_back(py::Ref::borrow(value));
        const bool plain =
            PyList_CheckExact(value) || PyTuple_CheckExact(value) || PyDict_CheckExact(value);
        if (depth == 0 || !plain) return;
        std::vector<py::Ref> items;
        {
            const py::CriticalSection locked(value);
            if (PyDict_CheckExact(value)) {
                Py_ssize_t pos = 0;
                PyObject *key, *v;
                while (PyDict_Next(value, &pos, &key, &v)) items.push_back(py::Ref::borrow(v));
            } else {
                PyObject* const* at = PyList_CheckExact(value) ? PySequence_Fast_ITEMS(value)
                                                                : &PyTuple_GET_ITEM(value, 0);
                const Py_ssize_t n = PyList_CheckExact(value) ? PyList_GET_SIZE(value)
                                                               : PyTuple_GET_SIZE(value);
                for (Py_ssize_t i = 0; i < n; ++i) items.push_back(py::Ref::borrow(at[i]));
            }
        }
        for (const py::Ref& item : items) gather(item.get(), depth - 1);
    }
};

bool ConstructionLog::is_argument(PyObject* value) noexcept {
    if (!arguments_) return false;
    // A single value that is no plain container (a write's) is the one
    // argument: told by identity, with nothing gathered.
    if (!PyList_CheckExact(arguments_) && !PyTuple_CheckExact(arguments_) &&
        !PyDict_CheckExact(arguments_))
        return value == arguments_;
    // Gathered once, on the first apply met: the arguments themselves and
    // what plain containers among them hold a few levels down (wider nests
    // are rare and stand as they did).
    constexpr int kDepth = 4;
    try {
        if (!given_) {
            auto given = std::make_unique<Given>();
            given->gather(arguments_, kDepth);
            given_ = std::move(given);
        }
        return given_->ids.contains(value);
    } catch (...) {
        // Without the memory to tell, the apply stands on its own.
        return false;
    }
}

PassLog* ConstructionLog::log() noexcept {
    if (!taken_) {
        taken_ = new (std::nothrow) PassLog;
        if (taken_) taken_->construction_ = adoptions_;
    }
    return taken_;
}

int WriteLog::keep() {
    PyObject* pending = PyErr_GetRaisedException();
    made_.keep();
    int told = kept_by_pass_ ? applied_.commit() : applied_.commit_alone();
    applies_.keep();
    if (pending) {
        if (told < 0) PyErr_Clear();
        PyErr_SetRaisedException(pending);
        told = 0;
    }
    return told;
}

namespace {

void* begin_pass(PyObject* container, bool members) {
    if (!(PyList_Check(container) ? is_sym_list(container) : is_sym_dict(container)))
        return typing::kNothingHeld;
    auto* log = new (std::nothrow) PassLog;
    if (!log) {
        PyErr_NoMemory();
        return nullptr;
    }
    if (log->begin(container, members) < 0) {
        delete log;
        return nullptr;
    }
    return log;
}

int commit_pass(void* token) {
    auto* log = static_cast<PassLog*>(token);
    const int r = log->commit();
    delete log;
    return r;
}

void abort_pass(void* token) noexcept { delete static_cast<PassLog*>(token); }

constexpr typing::ContainerPass kPass{&begin_pass, &commit_pass, &abort_pass};

}  // namespace

void install_container_pass() noexcept { typing::install_container_pass(&kPass); }

}  // namespace vesk::symbolic
