// The write side every SymList mutator funnels through: the permission
// gates, the list notification, the core write (the one way an item is
// written) and the delete tail (the one way the list shrinks by an item),
// with the two seams the package and the spec engine call without gates.
//
// Another thread may change the list between an operation's read and its
// store, since formalization runs Python code in between. So the store
// decides under the list's lock where the item goes and what it replaces: a
// replacement is the keyed write of write_core.hpp (it reports and detaches
// the item it swapped out); an append or insertion takes its index there,
// checks the size bound there again, and re-paths an item that landed
// elsewhere than it was stamped for; a removal takes place only where the
// item read still sits (else the caller reads again). An update always names
// the item it changed and the index it changed it at.
#include "symbolic/list/list_ops.hpp"

#include "flags.hpp"
#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/named.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/container/field_update.hpp"
#include "symbolic/container/properties.hpp"
#include "symbolic/container/sorting.hpp"
#include "symbolic/formalize.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/method_params.hpp"
#include "symbolic/refusal.hpp"
#include "symbolic/shortcuts.hpp"
#include "symbolic/slots.hpp"
#include "symbolic/write_core.hpp"
#include "typing/applied_members.hpp"

#include <algorithm>

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

WriteSlot slot_at(PyObject* self, Py_ssize_t pos, PyObject* key) {
    WriteSlot w;
    w.ops = &kListNode;
    w.node = w.storage = w.parent = self;
    w.slot.pos = pos;
    w.key = key;
    return w;
}

// Where an added item lands, decided under the list's lock: the index
// `at.key` as the caller gave it (at or past the end appends; a negative one
// counts from the end, clamped to the front), or the end for an append;
// with the size bound checked there again, and then, in the same section,
// the placement of the item taking effect (claim.hpp): a child held
// elsewhere by now is not stored (0; the caller takes the held-elsewhere
// road and comes again); 2 when the list has grown to reach the index an
// append was asked for (`at.asked`): the write replaces there instead. 1
// stored, with the position and the update's key set; -1 (the bound's
// ValueError).
int add_item(PyObject* self, const Placed& at, Adoption& adopted, const std::int64_t* max_size,
             Py_ssize_t& landed, std::int64_t& key) {
    py::CriticalSection guard(self);
    if (refused_by_sort(self)) return -1;
    const Py_ssize_t n = PyList_GET_SIZE(self);
    if (max_size && n >= *max_size) {
        raise_full(*max_size);
        return -1;
    }
    if (at.asked >= 0 && at.asked < n) return 2;
    const bool appending = at.how == Store::Append || at.key >= n;
    landed = appending ? n
                       : static_cast<Py_ssize_t>(at.key < 0 ? std::max<std::int64_t>(at.key + n, 0)
                                                            : at.key);
    key = appending ? n : at.key;
    if (adopted.claim.held()) {
        py::Ref index = py::Ref::steal(PyLong_FromSsize_t(landed));
        if (!index) return -1;
        if (adopted.commit(index.get()) == Claim::Commit::Lost) return 0;
    }
    PyObject* value = adopted.value.get();
    const int r = appending ? PyList_Append(self, value) : PyList_Insert(self, landed, value);
    return r < 0 ? -1 : 1;
}

// The list's path after a store that stamped `adopted` for the position
// `stamped_pos`, the item re-pathed should it have landed at `landed` or
// the list have moved meanwhile. `fresh` is the path read when the write
// began, when no Python code can have run since (null: read it again).
bool path_after(PyObject* self, const Adoption& adopted, Py_ssize_t stamped_pos,
                Py_ssize_t landed, const py::MaybeRef* fresh, py::MaybeRef& out) {
    if (!adopted.stamped()) {
        if (fresh) {
            out = *fresh;
            return true;
        }
        py::Ref read;
        if (!node_path(self, read)) return false;
        out = py::MaybeRef(std::move(read));
        return true;
    }
    py::Ref key = py::Ref::steal(PyLong_FromSsize_t(landed));
    py::Ref stamped_key =
        landed == stamped_pos ? key : py::Ref::steal(PyLong_FromSsize_t(stamped_pos));
    if (!key || !stamped_key) return false;
    py::Ref settled;
    if (settle_path(slot_at(self, landed, key.get()), adopted, stamped_key.get(), settled) < 0)
        return false;
    out = py::MaybeRef(std::move(settled));
    return true;
}

// The replacement road of `store`: 0 or -1 as `store`, or 2 when the
// position is gone by the store and the write appends instead.
int replace_at(PyObject* self, PyObject* element, const Placed& at, Adoption& adopted,
               py::Ref& update, const py::MaybeRef* fresh_path) {
    // A list lets go of an item after its store. The caller's index names a
    // position gone by the store.
    py::Ref key = py::Ref::steal(PyLong_FromSsize_t(at.pos));
    if (!key) {
        adopted.undo();
        return -1;
    }
    WriteSlot w = slot_at(self, at.pos, key.get());
    w.slot.index = at.key;
    w.slot.named = true;
    w.append_if_gone = at.append_if_gone;
    py::Ref replaced;
    Claim old_claim;
    bool calls = false;
    const int stored =
        replace_slot(w, adopted, Order::StoreFirst, at.seen, replaced, old_claim, calls);
    if (stored <= 0 || stored == 2) return stored;
    // The path the update names is the list's at the store; the replaced
    // item is let go after it, while still claimed (which runs Python code
    // only for an item that is not primitive), and a move of the list its
    // own calls made meanwhile is this write's too, one by another thread a
    // later write's.
    py::MaybeRef path;
    if (!path_after(self, adopted, at.pos, at.pos,
                    is_primitive(replaced.get()) ? fresh_path : nullptr, path))
        return -1;
    adopted.done();
    const std::uint64_t moves = properties::t_paths_written;
    if (let_go_after_store(replaced.get(), old_claim, calls) < 0) return -1;
    if (properties::t_paths_written != moves) {
        py::Ref moved;
        if (!node_path(self, moved)) return -1;
        path = py::MaybeRef(std::move(moved));
    }
    update = make_update(self, element, at.key, replaced.get(), adopted.value.get(), path.get());
    return update ? 0 : -1;
}

}  // namespace

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

int store(PyObject* self, PyObject* element, const Placed& given, Adoption& adopted,
          const std::int64_t* max_size, py::Ref& update, const py::MaybeRef* fresh_path) {
    update.reset();
    const ContainerBridge* b = container_bridge();
    if (!b) {
        adopted.undo();
        return -1;
    }
    py::MaybeRef path;
    // A replacement whose position is gone by its store appends, and an
    // append whose index the list reaches by its store replaces there: as
    // the write would have come after the list changed.
    Placed at = given;
    for (;;) {
        if (at.how == Store::Replace) {
            const int replaced = replace_at(self, element, at, adopted, update, fresh_path);
            if (replaced != 2) return replaced;
            at.how = Store::Append;
            at.asked = -1;
        }
        Py_ssize_t landed = 0;
        std::int64_t key = 0;
        const int added = add_item(self, at, adopted, max_size, landed, key);
        if (added == 2) {
            at = Placed{Store::Replace, static_cast<Py_ssize_t>(at.asked), at.asked, {}, true};
            continue;
        }
        if (added < 0) {
            adopted.undo();
            return -1;
        }
        if (added == 0) {
            // Held elsewhere by the time it took effect: refused, or a clone
            // or the child shared stored instead.
            if (adopted.held_elsewhere() < 0) {
                adopted.undo();
                return -1;
            }
            continue;
        }
        adopted.mark_stored();
        if (!path_after(self, adopted, at.pos, landed, fresh_path, path)) return -1;
        adopted.done();
        update = make_update(self, element, key, b->missing_value.get(), adopted.value.get(),
                             path.get());
        return update ? 0 : -1;
    }
}

int core_write(PyObject* self, const View& view, PyObject* element, std::int64_t index,
               PyObject* value, bool inserting, py::Ref& update, int verdict,
               const std::int64_t* max_size, typing::Applied applied, bool append_if_gone) {
    update.reset();
    const ContainerBridge* b = container_bridge();
    if (!b || !list_bridge()) return -1;
    const Py_ssize_t n = PyList_GET_SIZE(self);
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
    if (index >= n) {
        // Past the end: a missing value is no write, anything else appends.
        if (!inserting) {
            const int missing = equals_missing(*b, value);
            if (missing != 0) return missing < 0 ? -1 : 0;
        }
        asked = index;
        index = n;
    }
    if (!inserting) {
        const int marker = is_insertion(value);
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
    // The storage position of a negative index counts from the end; an
    // insertion clamps it into the list, as `list.insert` does. An added
    // item takes its final index at the store.
    Placed at;
    at.key = index;
    at.append_if_gone = append_if_gone;
    at.asked = inserting ? -1 : asked;
    py::Ref current;  // what a replacement read at its position
    const std::int64_t pos = index < 0 ? index + n : index;
    if (index == n) {
        at.how = Store::Append;
        at.pos = n;
    } else if (inserting) {
        at.how = Store::Insert;
        at.pos = static_cast<Py_ssize_t>(std::clamp<std::int64_t>(pos, 0, n));
    } else {
        at.how = Store::Replace;
        at.pos = static_cast<Py_ssize_t>(pos);
        if (native && verdict == 1) {
            // A primitive value the element keeps as it is runs no Python
            // code up to its store: one critical section decides, its
            // identity test included (write_core.hpp, kPlainSlot), unless the
            // position holds the value already or a child to let go.
            const StoreOutcome stored = sym_list_store_if(
                self, SlotKey{nullptr, at.pos, at.key, true}, kPlainSlot, value, current, nullptr);
            if (stored == StoreOutcome::Done) {
                update = make_update(self, element, at.key, current.get(), value,
                                     view.path.get());
                return update ? 0 : -1;
            }
            if (stored == StoreOutcome::Error &&
                !(append_if_gone && PyErr_ExceptionMatches(PyExc_IndexError)))
                return -1;
            PyErr_Clear();
        } else {
            // The index was checked against the length the write began with;
            // a list shrunk meanwhile is the assignment's own IndexError,
            // unless the write appends then.
            py::Ref read;
            if (list_read_slot(self, SlotKey{nullptr, at.pos}, read) < 0) return -1;
            if (!read && !append_if_gone) {
                PyErr_Format(PyExc_IndexError,
                             "list assignment index out of range. Length=%zd, index=%lld",
                             PyList_GET_SIZE(self), static_cast<long long>(at.key));
                return -1;
            }
            current = std::move(read);
        }
        if (current && current.get() == value) return 0;
        if (!current) {
            at.how = Store::Append;
            at.pos = PyList_GET_SIZE(self);
        } else {
            at.seen = {SlotRead::Kind::Read, current.get()};
        }
    }
    // Formalized under the position it takes, so its path names it.
    bool kept = false;
    Adoption adopted;
    if (!formalized_at(self, view, element, at.pos, value, &kept, verdict, &adopted, applied,
                       false, at.how == Store::Insert))
        return -1;
    return store(self, element, at, adopted, max_size, update,
                 native && kept ? &view.path : nullptr);
}

void abandon(std::vector<Adoption>& adoptions) noexcept {
    for (Adoption& adopted : adoptions) adopted.undo();
}

Tail delete_tail(PyObject* self, const SpecReadings& readings, std::int64_t key,
                 Py_ssize_t pos, PyObject* expected) {
    const std::optional<std::int64_t>& min_size = readings.min_size;
    py::Ref removed;
    {
        py::CriticalSection guard(self);
        if (refused_by_sort(self)) return Tail::Error;
        const Py_ssize_t n = PyList_GET_SIZE(self);
        if (min_size && *min_size >= 1 && n <= *min_size) {
            PyErr_Format(PyExc_ValueError, "Cannot delete item: min size (%lld) is reached.",
                         static_cast<long long>(*min_size));
            return Tail::Error;
        }
        if (pos < 0 || pos >= n) {
            if (expected) return Tail::Moved;
            raise_index_error("list index out of range");
            return Tail::Error;
        }
        removed = py::Ref::borrow(PyList_GET_ITEM(self, pos));
        if (expected && removed.get() != expected) return Tail::Moved;
        // The reference kept above outlives the removal, so no finaliser
        // runs under the lock.
        if (PyList_SetSlice(self, pos, pos + 1, nullptr) < 0) return Tail::Error;
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
    View view;
    SpecReadings readings;
    typing::Applied applied = typing::Applied::No;
    if (refused_by_sort(self) || !read_view(self, view) ||
        !read_spec(view.spec.get(), kElement, readings) ||
        own_field_applied(named, readings.element.get(), a[1],
                          effective_flag_allow_partial(view.allow_partial), applied) < 0)
        return nullptr;
    py::Ref update;
    // Without a gate of its own, a write at a position the list has lost
    // meanwhile appends, as it would have had it come after the shrinking.
    if (core_write(self, view, readings.element.get(), index, a[1], false, update, -1, nullptr,
                   applied, true) < 0)
        return nullptr;
    return update ? update.release() : py::none();
}

PyObject* py_delete_and_notify(PyObject* self, PyObject* i) {
    std::int64_t index = 0;
    if (!py::arg_i64("i", i, index)) return nullptr;
    View view;
    SpecReadings readings;
    if (refused_by_sort(self) || !read_view(self, view) ||
        !read_spec(view.spec.get(), kElement | kMinSize, readings))
        return nullptr;
    // The tail checks the position, after the minimum-size floor.
    const Py_ssize_t n = PyList_GET_SIZE(self);
    const std::int64_t pos = index < 0 ? index + n : index;
    return delete_tail(self, readings, index, static_cast<Py_ssize_t>(pos), nullptr) ==
                   Tail::Error
               ? nullptr
               : py::none();
}

}  // namespace vesk::symbolic::list
