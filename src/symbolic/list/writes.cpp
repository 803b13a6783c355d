// The write side every SymList mutator funnels through: the permission
// gates, the list notification, the core write (the one way an item is
// written) and the delete tail (the one way the list shrinks by an item),
// with the two seams the package and the spec engine call without gates.
//
// Another thread may change the list between an operation's read and its
// store, since formalization runs Python code in between. The claims of
// claim.hpp keep off every write that could meet this one on a child, on
// its position, or on the list's own place; insertions and removals
// elsewhere in the list still move its items, but not while a write that
// goes by position holds the list's positions (a batch of several stores, a
// slice's replacements, an index write over a plain occupant or of a value
// it cannot follow by identity): they meet that claim and are refused, or
// refuse it, before either's first effect; and a plain store of another
// thread claims its slot meanwhile, so it never replaces a store that may
// yet be taken back. So the store decides under the list's lock where the
// item goes and what it replaces: a replacement is the keyed write of
// write_core.hpp (it reports and detaches the item it swapped out; a single
// index write goes over the occupant it claimed, wherever it was moved, so
// it never meets a claim after its first effect); an append or insertion
// takes its index there, checks the size bound there again, and re-paths an
// item that landed elsewhere than it was stamped for; a removal takes place
// only where the item read still sits (else the caller reads again). An
// update always names the item it changed and the index it changed it at.
#include "symbolic/list/list_ops.hpp"

#include "flags.hpp"
#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/errors.hpp"
#include "py/named.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/calls.hpp"
#include "symbolic/momentary.hpp"
#include "symbolic/placement.hpp"
#include "symbolic/container/field_update.hpp"
#include "symbolic/container/pass_log.hpp"
#include "symbolic/container/sorting.hpp"
#include "symbolic/formalize.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/method_params.hpp"
#include "symbolic/refusal.hpp"
#include "symbolic/repath_walk.hpp"
#include "symbolic/shortcuts.hpp"
#include "symbolic/slots.hpp"
#include "symbolic/write_core.hpp"
#include "topology/key_path.hpp"
#include "typing/applied_members.hpp"

#include <algorithm>
#include <limits>
#include <optional>

namespace vesk::symbolic::list {

namespace {

// The field update of one change at `key` (the index as the caller gave it),
// named by the list's path `path`.
py::Ref make_update(PyObject* self, PyObject* element, std::int64_t key, PyObject* old,
                    PyObject* value, PyObject* path) {
    const ContainerBridge* b = container_bridge();
    if (!b) return {};
    py::Ref key_path = index_key_path(key, path);
    return key_path ? make_field_update(*b, key_path.get(), self, element, old, value)
                    : py::Ref();
}

void raise_index_error(const char* text) { PyErr_SetString(PyExc_IndexError, text); }

void raise_full(std::int64_t max_size) {
    PyErr_Format(PyExc_ValueError, "List reached its max size %lld.",
                 static_cast<long long>(max_size));
}

// Whether the list, of `n` items, has no room under its bound `max_size`
// for an added item, or for all those of a write that keeps `rooms` (null:
// one item), beside the rooms other writes keep: raises the bound's
// ValueError then. Under the list's lock.
bool full_at(PyObject* self, Py_ssize_t n, const Rooms* rooms, std::int64_t max_size) {
    const Py_ssize_t kept = py::state<ListState>(self).rooms_kept;
    const Py_ssize_t after = n + kept + (rooms ? rooms->counted : 1);
    if (after <= max_size) return false;
    if (rooms && rooms->extending)
        PyErr_Format(PyExc_ValueError,
                     "Cannot extend List: the number of elements (%zd) exceeds max size (%lld).",
                     after, static_cast<long long>(max_size));
    else
        raise_full(max_size);
    return true;
}

// An item of a write that keeps `rooms` has landed: the first takes the
// rooms of all the others, each later one lands in its own. Under the
// list's lock.
void keep_rooms(PyObject* self, Rooms& rooms) noexcept {
    Py_ssize_t& kept = py::state<ListState>(self).rooms_kept;
    if (!rooms.taken) {
        rooms.taken = true;
        rooms.kept = rooms.added - 1;
        kept += rooms.kept;
    } else if (rooms.kept > 0) {
        --rooms.kept;
        --kept;
    }
}

// An added item landed at `landed`, inserted before the items there: the
// batches under way follow those items, and a batch adding it records
// where it landed (InFlight). Under the list's lock.
[[gnu::noinline]] void added_at(PyObject* self, const Placed& at, Py_ssize_t landed,
                                bool inserted) noexcept {
    if (inserted) items_moved(self, landed, 1);
    if (at.flight && at.flight->count < at.flight->room) at.flight->at[at.flight->count++] = landed;
}

// Where an added item lands, decided under the list's lock: the index
// `at.key` as the caller gave it (at or past the end appends; a negative one
// counts from the end, clamped to the front), or the end for an append;
// with the size bound checked there again (for all the items of a write
// that keeps rooms, where its first lands). 2 when the list has grown to
// reach the index an append was asked for (`at.asked`): the write replaces
// there instead. 3 when an insertion that began at the end, holding the
// list's order as an append does (not as moving it), finds the list grown
// past its index: it would move items now, and claims the order first. 1
// stored, with the position and the update's key set; -1 (the bound's
// ValueError, or the sort's refusal).
// Inlined into both its callers, the store's general road and the one of a
// kept primitive (`core_write`): a call there costs the appends of nodes.
[[gnu::always_inline]] inline int add_item(PyObject* self, const Placed& at, PyObject* value,
                                           const std::int64_t* max_size, Py_ssize_t& landed,
                                           std::int64_t& key) {
    py::CriticalSection guard(self);
    if (refused_for_write(self)) return -1;
    if (at.binding && spec_replaced_since<ListState>(self, *at.binding)) return -1;
    const Py_ssize_t n = PyList_GET_SIZE(self);
    Rooms* rooms = max_size ? at.rooms : nullptr;
    if (max_size && !(rooms && rooms->taken) && full_at(self, n, rooms, *max_size)) return -1;
    if (at.asked >= 0 && at.asked < n) return 2;
    const bool appending = at.how == Store::Append || at.key >= n;
    landed = appending ? n
                       : static_cast<Py_ssize_t>(at.key < 0 ? std::max<std::int64_t>(at.key + n, 0)
                                                            : at.key);
    if (landed < n && !at.moving) return 3;
    key = appending ? n : at.key;
    const int r = appending ? PyList_Append(self, value) : PyList_Insert(self, landed, value);
    if (r < 0) return -1;
    if (rooms) keep_rooms(self, *rooms);
    if (!appending || at.flight) [[unlikely]]
        added_at(self, at, landed, !appending);
    return 1;
}

// An item stamped for the position `stamped` that landed at `landed` (the
// list grew or shrank meanwhile: items move without being re-pathed, but a
// write names its item where it put it) is stamped again there. 0 or -1.
int restamp(PyObject* self, const Adoption& adopted, Py_ssize_t stamped, Py_ssize_t landed) {
    if (landed == stamped || !adopted.path_stamped()) return 0;
    py::Ref owner;
    py::Ref key = py::Ref::steal(PyLong_FromSsize_t(landed));
    if (!key || !node_path(self, owner)) return -1;
    py::Ref path = topology::child_key_path(key.get(), owner.get());
    PyObject* value = adopted.value.get();
    if (!path) return -1;
    // The write's own walk (repath_walk.hpp), as its adoption's stamping.
    RepathWalk walk(self, value, path.get());
    return past_momentary_holds([&] { return call_method_void<"topo_setpath">(value, path.get()); });
}

// The store of a plain value over a plain occupant, in one critical section
// with the marks and the spec the write checked the value against.
StoreOutcome plain_store_if(PyObject* self, SlotKey slot, PyObject* value,
                            std::uint32_t binding, py::Ref& now) {
    py::CriticalSection section(self);
    if (refused_for_write(self) || spec_replaced_since<ListState>(self, binding))
        return StoreOutcome::Error;
    // Another write holds the list's positions and may take a store of its
    // own back where this one would land: the write claims its slot first.
    if (py::state<ListState>(self).positions_held.load(std::memory_order_relaxed) != 0)
        return StoreOutcome::Changed;
    return list_store_locked(self, slot, kPlainSlot, value, now);
}

// Where the value of a write that follows its occupant (SlotKey::follow)
// is once stored: at its position, unless an insertion or removal elsewhere
// had moved the occupant, where a value that keeps a tree is found by
// identity. The item stays named for the position the write claimed, as an
// item moved by a later insertion or removal stays.
Py_ssize_t landed_at(PyObject* self, const Placed& at, const Adoption& adopted) {
    PyObject* value = adopted.value.get();
    {
        py::CriticalSection section(self);
        if (at.pos < PyList_GET_SIZE(self) && PyList_GET_ITEM(self, at.pos) == value)
            return at.pos;
    }
    const Py_ssize_t found = is_primitive(value) ? -1 : py::list_position(self, value);
    return found >= 0 ? found : at.pos;
}

// Claims `value` as its adoption will, when it has one place. 0 or -1.
int claim_placed_value(ClaimScope& scope, PyObject* value) {
    if (is_primitive(value)) return 0;
    const int placed = has_one_place(value);
    return placed <= 0 ? placed : scope.exclusive(value);
}

// Claims the list's order as moving it, in the write's claim scope, for an
// insertion that began at the end and finds the list grown past its index
// by its store (add_item): another thread's write by position, which began
// meanwhile, refuses it. 0 or -1.
int claim_moving(PyObject* self) {
    ClaimScope* scope = ClaimScope::current();
    if (!scope) {
        py::raise_internal("a list write stores outside its claim scope");
        return -1;
    }
    return claim_list(*scope, self) < 0 ? -1 : scope->moving(self);
}

// The replacement road of `store`, for a value stamped for the position
// `stamped`: 0 or -1 as `store`, or 2 when the position is gone by the store
// and the write appends instead.
int replace_at(PyObject* self, PyObject* element, const Placed& at, Py_ssize_t stamped,
               Adoption& adopted, py::Ref& update, const py::MaybeRef* fresh_path,
               StoredItem* done) {
    py::Ref key = py::Ref::steal(PyLong_FromSsize_t(at.pos));
    if (!key) {
        adopted.undo();
        return -1;
    }
    WriteSlot w = slot_at(self, at.pos, key.get());
    w.slot.index = at.key;
    w.slot.named = true;
    w.slot.follow = at.follow;
    w.append_if_gone = at.append_if_gone;
    py::Ref replaced;
    const int stored = replace_slot(w, adopted, Order::StoreFirst, at.occupant.get(), replaced);
    if (stored <= 0 || stored == 2) return stored;
    StoredItem item{adopted.value, replaced, at.pos};
    // Over the occupant it claimed, followed wherever it was moved: named for
    // the position claimed, as an item a later insertion or removal moves.
    // Over another (a plain occupant not told apart): at the position it
    // claimed, an index from the end counting from the end the list had then.
    const Py_ssize_t named = at.pos;
    if (at.follow && replaced.get() == at.occupant.get() && !is_primitive(replaced.get()))
        item.pos = landed_at(self, at, adopted);
    // A list lets go of an item after its store (by its parent alone). An
    // item that will not go, or will not be named where it landed, keeps
    // its place, and the write is undone; one that will not take its place
    // back leaves it to the value, whose store then stands.
    item.let_go = false;
    if (restamp(self, adopted, stamped, named) < 0 ||
        (item.let_go = true, let_go_after_store(replaced.get()) < 0)) {
        if (unstore(self, item)) {
            (void)adopted.undo();
        } else {
            adopted.stored();
            item.stands = true;
            if (done) *done = item;
        }
        return -1;
    }
    adopted.stored();
    if (done) *done = item;
    py::MaybeRef path;
    if (fresh_path && is_primitive(replaced.get())) {
        path = *fresh_path;
    } else {
        py::Ref read;
        if (!node_path(self, read)) return -1;
        path = py::MaybeRef(std::move(read));
    }
    update = make_update(self, element, at.key, replaced.get(), adopted.value.get(), path.get());
    return update ? 0 : -1;
}

}  // namespace

int has_one_place(PyObject* value) {
    if (node_ops(value)) return 1;
    const int symbolic = is_symbolic(value);
    return symbolic != 0 ? symbolic : is_topology_aware(value);
}

WriteSlot slot_at(PyObject* self, Py_ssize_t pos, PyObject* key) {
    WriteSlot w;
    w.ops = &kListNode;
    w.node = w.storage = self;
    w.slot.pos = pos;
    w.key = key;
    return w;
}

bool sealed_now(const View& view) noexcept {
    return flags::forced(flags::FlagId::Sealed).value_or(view.sealed);
}

int refuse(const View& view, const char* text, bool locate) {
    return refuse_container_write(view.path.get(), text, locate);
}

int notify(PyObject* self, PyObject* updates) {
    // Only an explicit False scope drops them.
    if (PyList_GET_SIZE(updates) == 0 || flags::notifications_suppressed()) return 0;
    return py::call_method<"_notify_field_updates">(self, updates) ? 0 : -1;
}

int notify_one(PyObject* self, const py::Ref& update) {
    if (!update) return 0;
    py::Ref updates = py::Ref::steal(PyList_New(1));
    if (!updates) return -1;
    PyList_SET_ITEM(updates.get(), 0, py::Ref(update).release());
    return notify(self, updates.get());
}

int claim_list(ClaimScope& scope, PyObject* self) {
    if (scope.tree(self) < 0) return -1;
    return refused_for_write(self) ? -1 : 0;
}

int claim_positions(ClaimScope& scope, PyObject* self) {
    return scope.positions(self, py::state<ListState>(self).positions_held);
}

int claim_positions_for(ClaimScope& scope, PyObject* self, PyObject* value, bool& positions) {
    if (positions) return 0;
    const int placed = is_primitive(value) ? 0 : has_one_place(value);
    if (placed != 0) return placed < 0 ? -1 : 0;
    if (claim_positions(scope, self) < 0) return -1;
    positions = true;
    return 0;
}

int claim_position(ClaimScope& scope, PyObject* self, Placed& at, bool positions) {
    // The position resolved (an index from the end against the length the
    // list has now) and its occupant read in one section, then the slot and
    // the occupant claimed, and the occupant found there again: one that
    // another write removed or moved between its read and its claim (which
    // keeps it in the list from then on) is met here, before the write's
    // first effect, and the position read anew.
    //
    // A write over an occupant it cannot tell apart by identity (a plain
    // one, which the list may hold at several places) goes by position: it
    // claims the list's positions, so that nothing moves another item onto
    // its position before its store. (A batch claims them for all its
    // positions at once.) One over an occupant that keeps a tree follows it
    // wherever it moves, and claims the list's items as following one, so
    // that no `clear` takes it out before the store.
    const std::int64_t index = at.key < 0 ? at.key : at.pos;
    for (;;) {
        Py_ssize_t n = 0;
        const int found = item_at_index(self, index, n, at.pos, at.occupant);
        if (found <= 0) {
            at.occupant.reset();  // gone: the caller's IndexError, or an append
            return found;
        }
        py::Ref key = py::Ref::steal(PyLong_FromSsize_t(at.pos));
        if (!key || scope.slot(self, key.get()) < 0) return -1;
        PyObject* occupant = at.occupant.get();
        const bool primitive = is_primitive(occupant);
        bool claimed = false;  // since the read: found there again below
        if (!positions) {
            const int placed = primitive ? 0 : has_one_place(occupant);
            if (placed < 0) return -1;
            if (!placed) {
                if (claim_positions(scope, self) < 0) return -1;
                positions = claimed = true;
            }
        }
        if (!primitive) {
            if ((!positions && scope.following(self) < 0) || scope.exclusive(occupant) < 0)
                return -1;
            claimed = true;
        }
        if (!claimed) return 0;
        Py_ssize_t pos = 0;
        py::Ref again;
        const int still = item_at_index(self, index, n, pos, again);
        if (still < 0) return -1;
        if (still && pos == at.pos && again.get() == occupant) return 0;
    }
}

namespace {

// Where the list holds `value` now: at `pos`, else, for a value that keeps a
// tree, wherever it has moved (another thread's insertion or removal); a
// primitive may be stored at several places, and is then looked for at
// `pos` alone. -1 when nowhere. Called under the list's lock.
Py_ssize_t held_at(PyObject* self, PyObject* value, Py_ssize_t pos) noexcept {
    const Py_ssize_t n = PyList_GET_SIZE(self);
    if (pos >= 0 && pos < n && PyList_GET_ITEM(self, pos) == value) return pos;
    for (Py_ssize_t i = 0; !is_primitive(value) && i < n; ++i)
        if (PyList_GET_ITEM(self, i) == value) return i;
    return -1;
}

// How many times the list holds `value`. Called under the list's lock.
Py_ssize_t count_held(PyObject* self, PyObject* value) noexcept {
    Py_ssize_t count = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(self); ++i)
        count += PyList_GET_ITEM(self, i) == value;
    return count;
}

// Whether a value a write replaced keeps a tree, its hooks telling where it
// is: 1 or 0, a failure of the test counting as 0. Keeps the pending
// exception.
bool keeps_tree_quietly(PyObject* value) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    const int tree = keeps_tree(value);
    if (tree < 0) PyErr_Clear();
    PyErr_SetRaisedException(pending);
    return tree > 0;
}

// The item a write replaced and let go by its parent alone, given the list
// back as its parent: whether it has it (a hook of its own may have refused,
// or placed it elsewhere meanwhile). Keeps the pending exception.
bool reattached(PyObject* self, PyObject* replaced) noexcept {
    Placement prior;
    prior.parent = py::Ref::borrow(self);
    return take_back(replaced, prior, true, false);
}

}  // namespace

bool unstore(PyObject* self, const StoredItem& item) noexcept {
    PyObject* value = item.value.get();
    // What it replaced, when it keeps a tree and was let go: its hooks run
    // as it takes the list back, and may place it in the list again.
    PyObject* replaced = item.replaced.get();
    const bool hooked = replaced && item.let_go && keeps_tree_quietly(replaced);
    // Where the store is now, read in the list's section: other writes may
    // have moved it since (InFlight).
    auto stored_at = [&] { return item.tracked ? *item.tracked : item.pos; };
    Py_ssize_t held_before = 0;
    {
        py::CriticalSection guard(self);
        // Moved out by a hook meanwhile: that stands, and what it replaced
        // stays let go.
        if (held_at(self, value, stored_at()) < 0) return true;
        if (hooked) held_before = count_held(self, replaced);
    }
    // What it replaced comes back only once it names the list again, so the
    // list never holds an item naming another parent.
    if (hooked && !reattached(self, replaced)) return false;
    PyObject* pending = PyErr_GetRaisedException();
    bool put = false;
    {
        py::CriticalSection guard(self);
        const Py_ssize_t pos = held_at(self, value, stored_at());
        // Placed in the list again by a hook of its own meanwhile: that
        // place stands, and so does the store. Only a hook can have: the
        // slot goes back to what it held by its position, whatever else
        // the list holds the same value at (an enum member, a tuple, a
        // value that keeps a tree held twice).
        if (hooked && count_held(self, replaced) > held_before) {
            PyErr_SetRaisedException(pending);
            return false;
        }
        if (pos >= 0) {
            // `item` keeps the value taken out alive past the section.
            // Neither allocates: a replacement swaps one item, and a list
            // shrinking by one item keeps its storage.
            const int r = replaced
                              ? PyList_SetItem(self, pos, py::Ref(item.replaced).release())
                              : PyList_SetSlice(self, pos, pos + 1, nullptr);
            if (r < 0) {
                PyErr_Clear();
            } else {
                put = true;
                if (!replaced) items_moved(self, pos, -1);
            }
        }
    }
    // Moved out by the hook that took its parent back: it is let go again.
    if (hooked && !put && let_go_after_store(replaced) < 0) PyErr_Clear();
    PyErr_SetRaisedException(pending);
    return true;
}

bool unstore_at(PyObject* self, PyObject* value, PyObject* replaced, Py_ssize_t pos) noexcept {
    return unstore(self, StoredItem{py::Ref::borrow(value), py::Ref::borrow(replaced), pos});
}

void enter_flight(PyObject* self, InFlight& f) noexcept {
    py::CriticalSection guard(self);
    InFlight*& first = py::state<ListState>(self).in_flight;
    f.next = first;
    first = &f;
}

void leave_flight(PyObject* self, InFlight& f) noexcept {
    py::CriticalSection guard(self);
    for (InFlight** link = &py::state<ListState>(self).in_flight; *link; link = &(*link)->next)
        if (*link == &f) {
            *link = f.next;
            break;
        }
}

namespace {

// Carries every position the registered batches recorded by `carry`.
template <class Carry>
void carry_in_flight(PyObject* self, Carry carry) noexcept {
    for (InFlight* f = py::state<ListState>(self).in_flight; f; f = f->next) {
        for (std::size_t j = 0; j < f->count; ++j) carry(f->at[j]);
        carry(f->landing);
    }
}

}  // namespace

void shift_in_flight(PyObject* self, Py_ssize_t pos, Py_ssize_t by) noexcept {
    carry_in_flight(self, [&](Py_ssize_t& at) {
        if (at < pos) return;  // below the move, or gone already (-1)
        if (by < 0 && at < pos - by)
            at = -1;  // its item was taken out
        else
            at += by;
    });
}

void reverse_in_flight(PyObject* self) noexcept {
    const Py_ssize_t n = PyList_GET_SIZE(self);
    carry_in_flight(self, [&](Py_ssize_t& at) {
        if (at >= 0) at = at < n ? n - 1 - at : -1;
    });
}

void release_rooms(PyObject* self, Rooms& rooms) noexcept {
    if (rooms.kept == 0) return;
    py::CriticalSection guard(self);
    py::state<ListState>(self).rooms_kept -= rooms.kept;
    rooms.kept = 0;
}

int store(PyObject* self, PyObject* element, const Placed& given, Adoption& adopted,
          const std::int64_t* max_size, py::Ref& update, const py::MaybeRef* fresh_path,
          StoredItem* done) {
    update.reset();
    const ContainerBridge* b = container_bridge();
    if (!b) {
        adopted.undo();
        return -1;
    }
    // A replacement whose position is gone by its store appends, and an
    // append whose index the list reaches by its store replaces there: as
    // the write would have come after the list changed.
    Placed at = given;
    for (;;) {
        if (at.how == Store::Replace) {
            const int replaced =
                replace_at(self, element, at, given.pos, adopted, update, fresh_path, done);
            if (replaced != 2) return replaced;
            // Past the end the list has now, a missing value is no write (a
            // step-1 slice's padding after the list shrank).
            const int missing = equals_missing(*b, adopted.value.get());
            if (missing != 0) return missing < 0 ? -1 : 0;
            at.how = Store::Append;
            at.asked = -1;
        }
        Py_ssize_t landed = 0;
        std::int64_t key = 0;
        const int added = add_item(self, at, adopted.value.get(), max_size, landed, key);
        if (added == 3) {
            if (claim_moving(self) < 0) {
                adopted.undo();
                return -1;
            }
            at.moving = true;
            continue;
        }
        if (added == 2) {
            at = Placed{Store::Replace, static_cast<Py_ssize_t>(at.asked), at.asked, {}, true,
                        -1, given.binding};
            ClaimScope* scope = ClaimScope::current();
            bool positions = false;
            if (!scope || claim_list(*scope, self) < 0 ||
                claim_positions_for(*scope, self, adopted.value.get(), positions) < 0 ||
                claim_position(*scope, self, at, positions) < 0) {
                if (!scope) py::raise_internal("a list write stores outside its claim scope");
                adopted.undo();
                return -1;
            }
            continue;
        }
        if (added < 0) {
            adopted.undo();
            return -1;
        }
        // An item that cannot be named where it landed is taken out again,
        // and the write undone.
        if (restamp(self, adopted, given.pos, landed) < 0) {
            (void)unstore(self, StoredItem{adopted.value, {}, landed});
            (void)adopted.undo();
            return -1;
        }
        adopted.stored();
        if (done) *done = StoredItem{adopted.value, {}, landed};
        py::MaybeRef path;
        if (fresh_path && !adopted.path_stamped()) {
            path = *fresh_path;
        } else {
            py::Ref read;
            if (!node_path(self, read)) return -1;
            path = py::MaybeRef(std::move(read));
        }
        update = make_update(self, element, key, b->missing_value.get(), adopted.value.get(),
                             path.get());
        return update ? 0 : -1;
    }
}

int core_write(PyObject* self, const View& view, PyObject* element, std::int64_t index,
               PyObject* value, bool inserting, py::Ref& update, int verdict,
               const std::int64_t* max_size, typing::Applied applied, bool append_if_gone,
               StoredItem* done, bool ranged, bool kept_by_pass) {
    update.reset();
    const ContainerBridge* b = container_bridge();
    if (!b || !list_bridge()) return -1;
    const Py_ssize_t n = length_unless_held(self);
    if (n < 0) return -1;
    // Shrunk since the caller's check (another thread's removal or `clear`):
    // as if that came first.
    if (ranged && (index < -n || index >= n)) {
        raise_assignment_out_of_range(n, index);
        return -1;
    }
    std::int64_t asked = -1;  // an index past the end, which the write appends at
    py::Ref unwrapped;
    // Whether the write runs no Python code up to its store, so the path
    // read with `view` still names the list: a primitive value, compared
    // with the native missing value and tested against an insertion class
    // without a metaclass of its own.
    bool native = is_primitive(value) && native_missing(*b) &&
                  PyType_CheckExact(list_bridge()->insertion_cls.get());
    // A verdict read before Python code ran may no longer hold; a primitive
    // that passed the field already is kept whatever the field would say.
    if (!native) verdict = -1;
    if (native && applied == typing::Applied::ThroughField) verdict = 1;
    const std::int64_t given = index;
    if (index >= n) {
        // Past the end: a missing value is no write, anything else appends.
        if (!inserting) {
            // A native write's primitive never equals the native missing value.
            const int missing = native ? 0 : equals_missing(*b, value);
            if (missing != 0) return missing < 0 ? -1 : 0;
        }
        asked = index;
        index = n;
    }
    if (!inserting) {
        // A native write's primitive has the answer the bridge took at its
        // installation (`is_insertion`).
        const int marker = native && !list_bridge()->marks_primitives ? 0 : is_insertion(value);
        if (marker < 0) return -1;
        if (marker) {
            unwrapped = py::get_attr<"value">(value);
            if (!unwrapped) return -1;
            value = unwrapped.get();
            inserting = true;
            native = false;
            verdict = -1;
            applied = typing::Applied::No;
        }
    }
    // Claimed in the caller's scope, which it keeps to the end of its
    // notification; a caller without one (a construction) claims for the
    // write alone.
    std::optional<ClaimScope> own;
    ClaimScope* scope = ClaimScope::current();
    if (!scope) scope = &own.emplace();
    // The storage position of a negative index counts from the end; an
    // insertion clamps it into the list, as `list.insert` does. An added
    // item takes its final index at the store.
    Placed at;
    at.key = index;
    at.append_if_gone = append_if_gone;
    at.asked = inserting ? -1 : asked;
    const std::int64_t pos = index < 0 ? index + n : index;
    bool claimed = false;  // the items, the position and its occupant
    // A replacement counted from before the list's start names no item: it
    // fails as the built-in list's store does (only a position the list had
    // when the write began and lost since may append instead).
    if (!inserting && pos < 0) {
        PyErr_SetString(PyExc_IndexError, "list assignment index out of range");
        return -1;
    }
    if (inserting) {
        // Before the index the caller gave, as the list has it at the store:
        // at or past its end then, an append. One at the end now moves no
        // item, and claims what an append claims; the store decides where
        // it lands (add_item).
        at.how = Store::Insert;
        at.key = given;
        at.pos = static_cast<Py_ssize_t>(std::clamp<std::int64_t>(pos, 0, n));
        at.moving = at.pos < n;
    } else if (index == n) {
        at.how = Store::Append;
        at.pos = n;
    } else {
        at.how = Store::Replace;
        at.pos = static_cast<Py_ssize_t>(pos);
        at.follow = true;
        if (native && verdict == 1) {
            // A primitive value the element keeps as it is runs no Python
            // code up to its store: one critical section decides, its
            // identity test included, and nothing is claimed (write_core.hpp,
            // kPlainSlot), unless the position holds the value already or a
            // child to let go.
            py::Ref current;
            const StoreOutcome stored = plain_store_if(
                self, SlotKey{nullptr, at.pos, at.key, true}, value, view.binding, current);
            if (stored == StoreOutcome::Done) {
                if (done) *done = StoredItem{py::Ref::borrow(value), current, at.pos};
                update = make_update(self, element, at.key, current.get(), value,
                                     view.path.get());
                return update ? 0 : -1;
            }
            if (stored == StoreOutcome::Error &&
                !(append_if_gone && PyErr_ExceptionMatches(PyExc_IndexError)))
                return -1;
            PyErr_Clear();
            if (current && current.get() == value) return 0;
        }
        // An index from the end names the slot the list's end gives it, which
        // other writes move: the value is claimed before the slot is
        // resolved, so that no other write puts it there meanwhile, and one
        // found there is in its own slot. Only a value that has one place
        // (one its adoption claims): a plain one, such as an enum member,
        // may be written anywhere by any number of writes at once.
        //
        // A value it cannot find by identity is taken back by position,
        // should the occupant it lets go after its store refuse to go: the
        // list's positions are claimed before the position is read.
        bool positions = false;
        if ((at.key < 0 && claim_placed_value(*scope, value) < 0) ||
            claim_list(*scope, self) < 0 ||
            claim_positions_for(*scope, self, value, positions) < 0 ||
            claim_position(*scope, self, at, positions) < 0)
            return -1;
        claimed = true;
        if (!at.occupant && !append_if_gone) {
            // The index was checked against the length the write began with;
            // a list shrunk meanwhile is the assignment's own IndexError,
            // unless the write appends then.
            raise_assignment_out_of_range(PyList_GET_SIZE(self), at.key);
            return -1;
        }
        if (at.occupant && at.occupant.get() == value) return 0;
        if (!at.occupant) {
            at.how = Store::Append;
            at.pos = PyList_GET_SIZE(self);
        }
    }
    // A write that runs Python code before its store claims the list
    // (claim_list), as a replacement did with its position; so does an
    // insertion before the end, which moves the items a walk of the list's
    // tree visits; a primitive added at the end moves nothing.
    if (!claimed && (at.moving || !native) && claim_list(*scope, self) < 0) return -1;
    // An insertion before the end moves the items after its position: it
    // meets the writes of other threads that go by position (claim.hpp) here.
    if (at.moving && scope->moving(self) < 0) return -1;
    // Python code may have run since the view was read (the insertion test,
    // the comparison with the missing value, a spec read by attribute): the
    // list's place is read again under the claims, which keep it, so the
    // value is named where the list is.
    std::optional<View> moved;
    if (!native) {
        py::Ref path;
        if (!node_path(self, path)) return -1;
        if (path.get() != view.path.get()) {
            moved.emplace(view);
            moved->path = py::MaybeRef(std::move(path));
        }
    }
    const View& placed = moved ? *moved : view;
    // The value is checked against the spec the view read: under the claims
    // no rebind replaces it (container/binding.hpp), and one made before
    // them refuses the write, having changed nothing. An added value checks
    // where it lands instead.
    if (at.how == Store::Replace && spec_replaced_since<ListState>(self, view.binding))
        return -1;
    at.binding = view.binding;
    // A primitive the element keeps as it is, added, is formalized, adopted
    // and stamped by nothing: its store alone decides where it lands, and
    // its update names the path the view read. One whose index the list has
    // grown to reach by then replaces there instead, or, inserted, claims
    // the list's order first, by the road below.
    if (native && verdict == 1 && at.how != Store::Replace) {
        Py_ssize_t landed = 0;
        std::int64_t key = 0;
        const int added = add_item(self, at, value, max_size, landed, key);
        if (added < 0) return -1;
        if (added == 1) {
            if (done) *done = StoredItem{py::Ref::borrow(value), {}, landed};
            update = make_update(self, element, key, b->missing_value.get(), value,
                                 view.path.get());
            return update ? 0 : -1;
        }
    }
    // Formalized under the position it takes, so its path names it. What
    // the element field's apply changed of the value, and a value made for
    // the write (a raw container wrapped, its members adopted), are given
    // back should the write drop it (container/pass_log.hpp).
    std::optional<WriteLog> made;
    if (!is_primitive(value)) made.emplace(self, value, kept_by_pass);
    bool kept = false;
    Adoption adopted;
    if (!formalized_at(self, placed, element, at.pos, value, &kept, verdict, &adopted, applied,
                       false, at.how != Store::Replace))
        return -1;
    StoredItem stood;
    const int r = store(self, element, at, adopted, max_size, update,
                        native && kept ? &view.path : nullptr, made || done ? &stood : nullptr);
    int told = 0;
    if (made && stood.value) {
        told = made->keep();
        // A value that is not plain may hold what the thread's scope let
        // through and the list's own flag would refuse.
        note_looser_store<ListState>(self, view.allow_partial);
    }
    if (done) *done = std::move(stood);
    return r < 0 ? r : told;
}

Tail delete_tail(PyObject* self, const SpecReadings& readings, std::int64_t key,
                 std::int64_t index, PyObject* expected, const char* out_of_range) {
    // The item it takes out changes its place: it is claimed (claim.hpp), so
    // a write placing it, or one that stored it and may yet take its store
    // back, refuses this removal, as this removal refuses them. The removal
    // moves the items after it: it claims the list's order as moving it.
    if (ClaimScope* scope = ClaimScope::current()) {
        if (scope->moving(self) < 0 ||
            (expected && !is_primitive(expected) && scope->exclusive(expected) < 0))
            return Tail::Error;
    }
    const std::optional<std::int64_t>& min_size = readings.min_size;
    py::Ref removed;
    {
        py::CriticalSection guard(self);
        if (refused_for_write(self)) return Tail::Error;
        const Py_ssize_t n = PyList_GET_SIZE(self);
        const std::int64_t pos = index < 0 ? index + n : index;
        if (expected && (pos < 0 || pos >= n)) return Tail::Moved;
        if (min_size && *min_size >= 1 && n <= *min_size) {
            PyErr_Format(PyExc_ValueError, "Cannot delete item: min size (%lld) is reached.",
                         static_cast<long long>(*min_size));
            return Tail::Error;
        }
        if (pos < 0 || pos >= n) {
            raise_index_error(out_of_range);
            return Tail::Error;
        }
        removed = py::Ref::borrow(PyList_GET_ITEM(self, pos));
        if (expected && removed.get() != expected) return Tail::Moved;
        // The reference kept above outlives the removal, so no finaliser
        // runs under the lock.
        if (PyList_SetSlice(self, pos, pos + 1, nullptr) < 0) return Tail::Error;
        items_moved(self, static_cast<Py_ssize_t>(pos), -1);
    }
    if (flags::notifications_suppressed()) return Tail::Done;
    const ContainerBridge* b = container_bridge();
    py::Ref path;
    if (!b || !node_path(self, path)) return Tail::Error;
    py::Ref update =
        make_update(self, readings.element.get(), key, removed.get(), b->missing_value.get(),
                    path.get());
    return update && notify_one(self, update) == 0 ? Tail::Done : Tail::Error;
}

PyObject* py_set_item_without_permission_check(PyObject* self, PyObject* const* args,
                                               Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<2> a;
    std::int64_t index = 0;
    if (!py::parse(kSetItemNoCheckParams, args, nargs, kwnames, a) ||
        !py::arg_i64("key", a[0], index))
        return nullptr;
    // The spec engine's write-back of an element it applied (applied_members.hpp).
    const typing::AppliedWrite named = typing::take_applied_write(self, a[0], a[1]);
    const bool write_back = named.through != typing::Applied::No;
    View view;
    SpecReadings readings;
    typing::Applied applied = typing::Applied::No;
    if (refused_at_entry(self, write_back) || !read_view(self, view) ||
        !read_spec(view.spec.get(), kElement, readings) ||
        own_field_applied(named, readings.element.get(), a[1],
                          effective_flag_allow_partial(view.allow_partial), applied) < 0)
        return nullptr;
    // A write-back is kept by its pass, which takes it back should the pass
    // fail (container/pass_log.hpp).
    PassLog* pass = write_back ? PassLog::of(self) : nullptr;
    const std::size_t mark = pass ? pass->mark() : 0;
    StoredItem done;
    py::Ref update;
    ClaimScope claims;
    // Without a gate of its own, a write at a position the list has lost
    // meanwhile appends, as it would have had it come after the shrinking.
    const int r = core_write(self, view, readings.element.get(), index, a[1], false, update, -1,
                             nullptr, applied, true, pass ? &done : nullptr, false,
                             pass != nullptr);
    // A store made is the pass's to keep or take back, the write failing
    // after it included.
    if (pass && done.value)
        pass->stored_at(std::move(done.value), std::move(done.replaced), done.pos, mark);
    if (r < 0) return nullptr;
    return update ? update.release() : py::none();
}

PyObject* py_delete_and_notify(PyObject* self, PyObject* i) {
    std::int64_t index = 0;
    if (!py::arg_i64("i", i, index)) return nullptr;
    View view;
    SpecReadings readings;
    if (refused_at_entry(self) || !read_view(self, view) ||
        !read_spec(view.spec.get(), kElement | kMinSize, readings))
        return nullptr;
    ClaimScope claims;
    if (claims.tree(self) < 0) return nullptr;
    for (;;) {
        // The item removed is claimed as any removal claims it: the one read
        // at the index is removed where it still sits. Out of range, the
        // tail raises, after the minimum-size floor (an index past any end).
        Py_ssize_t n = 0, pos = 0;
        py::Ref item;
        const int found = item_at_index(self, index, n, pos, item);
        if (found < 0) return nullptr;
        const std::int64_t at = found ? pos : std::numeric_limits<std::int64_t>::max();
        switch (delete_tail(self, readings, index, at, item.get(), "list index out of range")) {
            case Tail::Error: return nullptr;
            case Tail::Moved: continue;
            case Tail::Done: return py::none();
        }
    }
}

}  // namespace vesk::symbolic::list
