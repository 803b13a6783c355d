// SymList item assignment and deletion (`lst[i] = v`, `lst[a:b:c] = vs`,
// `del lst[i]`), with their two gates, and the batch write that slice
// assignment and `extend` share: every item is validated under the index it
// will take before the first store; each is then adopted and stored in
// turn, and a failure before the last store stands takes back those made
// before it, so a batch that fails leaves the list and every child as they
// were.
#include "symbolic/list/list_ops.hpp"

#include "py/critical_section.hpp"
#include "py/errors.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/container/gates.hpp"
#include "symbolic/container/pass_log.hpp"
#include "symbolic/container/sorting.hpp"
#include "symbolic/markers.hpp"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

namespace vesk::symbolic::list {

namespace {

bool int_key(PyObject* key, const char* format, std::int64_t& out) {
    if (!PyLong_Check(key)) {
        PyErr_Format(PyExc_TypeError, format, key);
        return false;
    }
    out = PyLong_AsLongLong(key);
    return !(out == -1 && PyErr_Occurred());
}

int raise_out_of_range(const char* what, Py_ssize_t n, std::int64_t index) {
    PyErr_Format(PyExc_IndexError, "%s index out of range. Length=%zd, index=%lld", what, n,
                 static_cast<long long>(index));
    return -1;
}

int assign_index(PyObject* self, const View& view, WriteReadings& wr, PyObject* key,
                 PyObject* value) {
    std::int64_t index = 0;
    if (!int_key(key, "list assignment index must be an integer. Encountered %R.", index))
        return -1;
    const Py_ssize_t n = length_unless_held(self);
    if (n < 0) return -1;
    if (index < -n || index >= n) return raise_out_of_range("list assignment", n, index);
    if (!complete_readings(self, view, kElement, wr)) return -1;
    py::Ref update;
    if (core_write(self, view, wr.readings.element.get(), index, value, false, update,
                   wr.verdict, nullptr, typing::Applied::No, false, nullptr, true) < 0)
        return -1;
    return notify_one(self, update);
}

// Python's slice rules decide the positions; a step-1 slice never shortens
// the list: positions it names beyond the items get the missing value, and
// items beyond the positions are inserted after them.
int assign_slice(PyObject* self, ClaimScope& claims, PyObject* slice, PyObject* value) {
    Py_ssize_t start = 0, stop = 0, step = 0;
    // A step of zero is refused here, before any item is read.
    if (PySlice_Unpack(slice, &start, &stop, &step) < 0) return -1;
    // Claimed before the items are read (Python code runs there), and the
    // list's place read under the claims, which keep it: the items are
    // named where the list is as they are stored.
    View view;
    if (claim_list(claims, self) < 0 || !read_view(self, view)) return -1;
    py::Ref items = py::Ref::steal(PySequence_List(value));
    if (!items) return -1;
    const ContainerBridge* b = container_bridge();
    if (!b) return -1;
    // The positions a slice replaces are read under the claim of the list's
    // positions (claim.hpp): no other thread's insertion or removal moves
    // another item onto one of them before its store. One that inserts
    // claims the list's order as moving it, against the writes of others
    // that go by position.
    Py_ssize_t n = 0, size = 0;
    const Py_ssize_t given_start = start, given_stop = stop;
    bool held = false;
    for (;;) {
        n = length_unless_held(self);
        if (n < 0) return -1;
        start = given_start;
        stop = given_stop;
        size = PySlice_AdjustIndices(n, &start, &stop, step);
        if (held || size == 0) break;
        if (claim_positions(claims, self) < 0) return -1;
        held = true;
    }
    const Py_ssize_t m = PyList_GET_SIZE(items.get());
    // Its items past those it replaces are inserted after them. A slice past
    // the list's end replaces nothing: its items are added at the end as
    // appends are, landing at the end the list has at their store (after
    // the items other threads added meanwhile, as it would have come after
    // them) and moving no item.
    const bool at_end = step == 1 && size == 0 && start >= n;
    if (step == 1 && m > size && !at_end && claims.moving(self) < 0) return -1;
    SpecReadings readings;
    if (!read_spec(view.spec.get(), kElement | kMaxSize, readings)) return -1;
    // A slice that lengthens the list keeps its bound as an insertion does,
    // refused before anything is stored; each added item is checked again
    // where it is stored.
    const std::optional<std::int64_t>& bound = readings.max_size;
    if (bound && step == 1 && m > size && n + (m - size) > *bound) {
        PyErr_Format(PyExc_ValueError, "List reached its max size %lld.",
                     static_cast<long long>(*bound));
        return -1;
    }
    Batch batch;
    batch.positions = held;
    const std::size_t count = static_cast<std::size_t>(step == 1 ? std::max(size, m) : m);
    batch.at.reserve(count);
    batch.values.reserve(count);
    if (step == 1) {
        for (Py_ssize_t k = 0; k < std::max(size, m); ++k) {
            const Store how = k < size ? Store::Replace : at_end ? Store::Append : Store::Insert;
            batch.at.push_back({how, start + k, start + k, {}, true});
            batch.at.back().moving = how == Store::Insert;
            batch.values.push_back(py::Ref::borrow(
                k < m ? PyList_GET_ITEM(items.get(), k) : b->missing_value.get()));
        }
    } else {
        if (m != size) {
            PyErr_Format(PyExc_ValueError,
                         "attempt to assign sequence of size %zd to extended slice of size %zd",
                         m, size);
            return -1;
        }
        for (Py_ssize_t k = 0; k < m; ++k) {
            const Py_ssize_t pos = start + k * step;
            batch.at.push_back({Store::Replace, pos, pos, {}, true});
            batch.values.push_back(py::Ref::borrow(PyList_GET_ITEM(items.get(), k)));
        }
    }
    batch.given = items.get();
    return write_batch(self, view, readings.element.get(), batch, bound ? &*bound : nullptr);
}

int delete_index(PyObject* self, const View& view, PyObject* key) {
    std::int64_t index = 0;
    if (!int_key(key, "list index must be an integer. Encountered %R.", index)) return -1;
    SpecReadings readings;
    if (!read_spec(view.spec.get(), kElement | kMinSize, readings)) return -1;
    ClaimScope claims;
    if (claims.tree(self) < 0) return -1;
    for (;;) {
        Py_ssize_t n = 0, pos = 0;
        py::Ref item;
        const int found = item_at_index(self, index, n, pos, item);
        if (found < 0) return -1;
        if (found == 0) return raise_out_of_range("list", n, index);
        switch (delete_tail(self, readings, index, pos, item.get(), "list index out of range")) {
            case Tail::Error: return -1;
            case Tail::Moved: continue;
            case Tail::Done: return 0;
        }
    }
}

}  // namespace

int ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    View view;
    WriteReadings wr;
    if (!read_view_for_write(self, value, view, wr)) return -1;
    const bool deleting = value == nullptr;
    const Gates gates = effective_gates(view.sealed, view.accessor_writable);
    if (gates.sealed)
        return deleting ? refuse(view, "Cannot delete item from a sealed List.", false)
                        : refuse(view, "Cannot set item for a sealed List.", true);
    if (!gates.accessor_writable)
        return refuse(view,
                      deleting ? "Cannot delete List item while accessor_writable is set to "
                                 "False. Use 'sym_rebind' method instead."
                               : "Cannot modify List item by __setitem__ while "
                                 "accessor_writable is set to False. Use 'sym_rebind' method "
                                 "instead.",
                      true);
    if (deleting) return delete_index(self, view, key);
    // Held to the end of the notification (claim.hpp).
    ClaimScope claims;
    if (Py_IS_TYPE(key, &PySlice_Type)) return assign_slice(self, claims, key, value);
    return assign_index(self, view, wr, key, value);
}

int write_batch(PyObject* self, const View& view, PyObject* element, Batch& batch,
                const std::int64_t* max_size) {
    if (!list_bridge()) return -1;
    std::optional<ClaimScope> own;
    ClaimScope* scope = ClaimScope::current();
    if (!scope) scope = &own.emplace();
    // A batch of several stores takes back those it made should a later one
    // fail, by position where a value keeps no tree: it holds the list's
    // positions (claim.hpp), which no insertion or removal moves meanwhile.
    if (claim_list(*scope, self) < 0 ||
        (batch.values.size() > 1 && !batch.positions && claim_positions(*scope, self) < 0) ||
        spec_replaced_since<ListState>(self, view.binding))
        return -1;
    // Every claim the batch needs is taken before its first effect: the
    // positions it replaces with their occupants (the list's positions
    // claimed by the caller), and its values that have one place (their
    // adoptions claim them again; `extend` claimed them as it read them), so
    // that a batch that meets another write is refused having done nothing,
    // never half way with its first items stored and taken back.
    const std::size_t n = batch.values.size();
    for (std::size_t k = 0; k < n; ++k) {
        if (batch.at[k].how == Store::Replace &&
            claim_position(*scope, self, batch.at[k], true) < 0)
            return -1;
        PyObject* value = batch.values[k].get();
        if (batch.copied || is_primitive(value)) continue;
        const int placed = has_one_place(value);
        if (placed < 0 || (placed && scope->exclusive(value) < 0)) return -1;
    }
    // The stores stand together or not at all: a failure takes back those
    // made before it, and the log gives their children back their places,
    // and the members of a value made for the batch (a raw container
    // wrapped) theirs.
    AdoptionLog log(self, AdoptionLog::Kept::Same);
    // The element field's applies change the values before the batch holds
    // them (a symbolic container bound to its spec, its members filled or
    // replaced): a batch that fails gives them back as a failed
    // construction gives back what it was given.
    std::optional<ConstructionLog> applied;
    if (element && batch.given) applied.emplace(self, batch.given, log);
    // Each formal value, with what the log took while it was made (the
    // members of a raw container wrapped), to keep with its store should
    // that stand alone.
    struct Formal {
        py::Ref value;
        std::size_t made_from, made_to;
    };
    std::vector<Formal> formal(n);
    bool plain = true;  // every formal value is primitive
    for (std::size_t k = 0; k < n; ++k) {
        formal[k].made_from = log.size();
        formal[k].value = validated_at(self, view, element, batch.at[k].pos,
                                       batch.values[k].get(), batch.copied,
                                       batch.at[k].how != Store::Replace);
        if (!formal[k].value) return -1;
        formal[k].made_to = log.size();
        plain = plain && is_primitive(formal[k].value.get());
    }
    // A value that would put the list below itself refuses the batch before
    // any value is placed: none is told a path through the cycle.
    for (std::size_t k = 0; k < n && !plain; ++k)
        if (refuse_cycle_at(self, view, element, batch.at[k].pos, formal[k].value.get(),
                            batch.copied, batch.at[k].how != Store::Replace) < 0)
            return -1;
    py::Ref updates = py::Ref::steal(PyList_New(0));
    if (!updates) return -1;
    // The items it adds land in rooms under the bound kept for them all
    // where the first lands; those it keeps still are given back at its end.
    Rooms rooms;
    rooms.extending = batch.counted >= 0;
    for (Placed& at : batch.at)
        if (at.how != Store::Replace) {
            ++rooms.added;
            at.rooms = &rooms;
        }
    rooms.counted = rooms.extending ? batch.counted : rooms.added;
    struct GiveBack {
        PyObject* self;
        Rooms& rooms;
        ~GiveBack() { release_rooms(self, rooms); }
    } give_back{self, rooms};
    // One value given twice is met the second time where the first write
    // put it, and takes its policy's road there.
    ClaimedSet claimed;
    // Each store with the log's size before its adoption: a failure takes
    // the stores back latest first, each with the adoptions made for it, so
    // an item one store let go and a later one placed again ends attached
    // where it was. A store whose replaced item will not come back stands,
    // with what was made for it.
    struct Done {
        StoredItem item;
        std::size_t mark;
        std::size_t k;
    };
    std::vector<Done> done;
    done.reserve(n);
    auto stands = [&](std::size_t mark, std::size_t k) {
        log.keep(formal[k].made_from, formal[k].made_to);
        log.keep(mark, log.size());
    };
    auto undo = [&]() {
        for (auto it = done.rbegin(); it != done.rend(); ++it) {
            if (unstore(self, it->item))
                log.undo_since(it->mark);
            else
                stands(it->mark, it->k);
        }
        return -1;
    };
    for (std::size_t k = 0; k < n; ++k) {
        Placed& at = batch.at[k];
        at.binding = view.binding;
        PyObject* value = formal[k].value.get();
        if (at.how == Store::Replace && at.occupant.get() == value) continue;
        Adoption adopted;
        py::Ref update;
        StoredItem item;
        const std::size_t mark = log.size();
        const bool ok = adopt_at(self, view, element, at.pos, value, &claimed,
                                 batch.copied, at.how != Store::Replace, adopted) &&
                        store(self, element, at, adopted, max_size, update, nullptr, &item) == 0;
        if (item.stands) {
            stands(mark, k);
            return undo();
        }
        if (item.value) done.push_back({std::move(item), mark, k});
        if (!ok || (update && PyList_Append(updates.get(), update.get()) < 0)) return undo();
    }
    // The applies stand with the stores, handed on (with the adoptions made
    // for them, which the log still holds) to an operation that holds the
    // list, or what they tell sent first.
    const int told = applied ? applied->commit() : 0;
    log.keep();
    // A value that is not plain may hold what the thread's scope let
    // through and the list's own flag would refuse.
    if (!plain) note_looser_store<ListState>(self, view.allow_partial);
    if (told < 0) return -1;
    return notify(self, updates.get());
}

}  // namespace vesk::symbolic::list
