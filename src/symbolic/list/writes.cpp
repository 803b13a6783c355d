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
// with the size bound checked there again. 1 stored, with the position and
// the update's key set; -1 (the bound's ValueError).
int add_item(PyObject* self, const Placed& at, PyObject* value, const std::int64_t* max_size,
             Py_ssize_t& landed, std::int64_t& key) {
    py::CriticalSection guard(self);
    const Py_ssize_t n = PyList_GET_SIZE(self);
    if (max_size && n >= *max_size) {
        raise_full(*max_size);
        return -1;
    }
    if (at.how == Store::Append || at.key >= n) {
        landed = n;
        key = n;
        return PyList_Append(self, value) < 0 ? -1 : 1;
    }
    landed = static_cast<Py_ssize_t>(at.key < 0 ? std::max<std::int64_t>(at.key + n, 0) : at.key);
    key = at.key;
    return PyList_Insert(self, landed, value) < 0 ? -1 : 1;
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

int store(PyObject* self, PyObject* element, const Placed& at, Adoption& adopted,
          const std::int64_t* max_size, py::Ref& update, const py::MaybeRef* fresh_path) {
    update.reset();
    const ContainerBridge* b = container_bridge();
    if (!b) {
        adopted.undo();
        return -1;
    }
    PyObject* value = adopted.value.get();
    py::MaybeRef path;
    if (at.how == Store::Replace) {
        // The key is not needed: a list lets go of an item after its store.
        // The caller's index names a position gone by the store.
        WriteSlot w = slot_at(self, at.pos, nullptr);
        w.slot.index = at.key;
        w.slot.named = true;
        py::Ref replaced;
        Claim old_claim;
        const int stored =
            replace_slot(w, adopted, Order::StoreFirst, at.seen, replaced, old_claim);
        if (stored <= 0) return stored;
        // Let go after the store, while still claimed; detaching ran Python
        // code only for a replaced item that is not primitive. The letting
        // go completes a stored write: another thread's momentary hold of
        // the item is waited out.
        if (old_claim.held() &&
            past_momentary_holds([&] { return detach_value(replaced.get(), true); }) < 0)
            return -1;
        old_claim.leave();
        if (!path_after(self, adopted, at.pos, at.pos,
                        is_primitive(replaced.get()) ? fresh_path : nullptr, path))
            return -1;
        adopted.claim.leave();
        update = make_update(self, element, at.key, replaced.get(), value, path.get());
        return update ? 0 : -1;
    }
    Py_ssize_t landed = 0;
    std::int64_t key = 0;
    adopted.storing();
    if (add_item(self, at, value, max_size, landed, key) < 0) {
        adopted.undo();
        return -1;
    }
    adopted.mark_stored();
    if (!path_after(self, adopted, at.pos, landed, fresh_path, path)) return -1;
    adopted.claim.leave();
    update = make_update(self, element, key, b->missing_value.get(), value, path.get());
    return update ? 0 : -1;
}

int core_write(PyObject* self, const View& view, PyObject* element, std::int64_t index,
               PyObject* value, bool inserting, py::Ref& update, int verdict,
               const std::int64_t* max_size, typing::Applied applied) {
    update.reset();
    const ContainerBridge* b = container_bridge();
    if (!b || !list_bridge()) return -1;
    const Py_ssize_t n = PyList_GET_SIZE(self);
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
            const StoreOutcome stored = list_store_if(
                self, SlotKey{nullptr, at.pos, at.key, true}, kPlainSlot, value, current);
            if (stored == StoreOutcome::Error) return -1;
            if (stored == StoreOutcome::Done) {
                update = make_update(self, element, at.key, current.get(), value,
                                     view.path.get());
                return update ? 0 : -1;
            }
        } else {
            // The index was checked against the length the write began with;
            // a list shrunk meanwhile is the assignment's own IndexError.
            py::Ref read;
            if (list_read_slot(self, SlotKey{nullptr, at.pos}, read) < 0) return -1;
            if (!read) {
                PyErr_Format(PyExc_IndexError,
                             "list assignment index out of range. Length=%zd, index=%lld",
                             PyList_GET_SIZE(self), static_cast<long long>(at.key));
                return -1;
            }
            current = std::move(read);
        }
        if (current.get() == value) return 0;
        at.seen = {SlotRead::Kind::Read, current.get()};
    }
    // Formalized under the position it takes, so its path names it.
    bool kept = false;
    Adoption adopted;
    if (!formalized_at(self, view, element, at.pos, value, &kept, verdict, &adopted, applied))
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
    if (!read_view(self, view) || !read_spec(view.spec.get(), kElement, readings) ||
        own_field_applied(named, readings.element.get(), applied) < 0)
        return nullptr;
    py::Ref update;
    if (core_write(self, view, readings.element.get(), index, a[1], false, update, -1, nullptr,
                   applied) < 0)
        return nullptr;
    return update ? update.release() : py::none();
}

PyObject* py_delete_and_notify(PyObject* self, PyObject* i) {
    std::int64_t index = 0;
    if (!py::arg_i64("i", i, index)) return nullptr;
    View view;
    SpecReadings readings;
    if (!read_view(self, view) || !read_spec(view.spec.get(), kElement | kMinSize, readings))
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
