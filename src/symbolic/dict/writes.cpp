// SymDict item writes and deletes: the two permission gates of the item
// assignment slot, and the core write that the spec engine and objects call
// without the gates. A write validates the key against the bound schema,
// formalizes the new value, detaches the replaced child, stores, and
// reports one field update; the store and the removal are the keyed write
// of write_core.hpp, so the update names exactly the value they replaced.
#include "symbolic/dict/dict_ops.hpp"

#include "py/args.hpp"
#include "py/hold.hpp"
#include "py/maybe_ref.hpp"
#include "py/write_span.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/calls.hpp"
#include "symbolic/classes.hpp"
#include "symbolic/child_paths.hpp"
#include "symbolic/container/field_update.hpp"
#include "symbolic/container/pass_log.hpp"
#include "symbolic/container/sorting.hpp"
#include "symbolic/container/gates.hpp"
#include "symbolic/formalize.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/method_params.hpp"
#include "symbolic/momentary.hpp"
#include "symbolic/placement.hpp"
#include "symbolic/refusal.hpp"
#include "symbolic/shortcuts.hpp"
#include "symbolic/slots.hpp"
#include "symbolic/write_core.hpp"
#include "typing/applied_members.hpp"
#include "typing/field/field.hpp"
#include "typing/meta_epoch.hpp"
#include "typing/schema/schema.hpp"
#include "typing/schema/dict_spec_facts.hpp"
#include "topology/key_path.hpp"

#include <optional>

namespace vesk::symbolic::dict {

namespace {

// What a write of `key` reads of the dictionary's state, in one hold. Every
// step of a write answers 0, or -1 with an exception set.
struct WriteView {
    py::Ref spec;
    py::Ref parent;
    py::Ref path;
    py::Ref key_path;  // the key's path under `path` as the dictionary keeps it, or null
    bool sealed = false;
    bool accessor_writable = true;
    bool allow_partial = false;
    bool attributes = false;    // it holds an object's fields
    std::uint32_t binding = 0;  // the state's count of spec replacements
};

int read_view(PyObject* self, PyObject* key, WriteView& out) {
    py::Shared<DictState> held(self);
    if (!held) return -1;
    out.spec = held->value_spec;
    out.parent = held->node.parent;
    out.path = held->node.path;
    out.key_path = held->node.kept_child_path(out.path.get(), key);
    out.sealed = held->node.sealed;
    out.accessor_writable = held->node.accessor_writable;
    out.allow_partial = held->node.allow_partial;
    out.attributes = held->as_object_attributes_container;
    out.binding = held->binding();
    return 0;
}

// A write the calling thread makes into a dictionary that a construction of
// its own keeps closed (py/write_span.hpp), or into the fields of an object
// so kept: refused, having changed nothing.
bool refused_while_built(PyObject* self, const WriteView& view) noexcept {
    if (!py::any_write_span()) [[likely]] return false;
    if (py::refused_by_span(self)) return true;
    return view.attributes && view.parent && py::refused_by_span(view.parent.get());
}

// The store of a plain value over a plain occupant, in one critical section
// with the spec the write checked the value against and the pass mark of
// another thread (a write of a value that keeps a tree meets that pass's
// claim instead).
StoreOutcome plain_store_if(PyObject* self, const WriteSlot& w, PyObject* value,
                            const WriteView& view, py::Ref& now) {
    py::CriticalSection section(self);
    if (refused_for_write<DictState>(self) || spec_replaced_since<DictState>(self, view.binding))
        return StoreOutcome::Error;
    return dict_store_locked(self, w.slot, kPlainSlot, value, now);
}

// The update's key path: the one the dictionary keeps for the key under its
// path (key paths are immutable values), else built and kept.
py::Ref update_key_path(PyObject* self, PyObject* key, const WriteView& view) {
    if (view.key_path) return view.key_path;
    py::Ref path = topology::child_key_path(key, view.path.get());
    if (path) keep_child_path<DictState>(self, view.path.get(), key, path.get());
    return path;
}

// The object a field update names as its target: the parent when this
// dictionary shares its path (an object's attributes), else the dictionary.
py::Ref update_target(PyObject* self, const WriteView& view) {
    const py::Ref& parent = view.parent;
    const py::Ref& path = view.path;
    if (!parent || parent.get() == Py_None) return py::Ref::borrow(self);
    py::Ref parent_path = py::get_attr<"_topo_path">(parent.get());
    if (!parent_path) return {};
    const int same = PyObject_RichCompareBool(parent_path.get(), or_none(path), Py_EQ);
    if (same < 0) return {};
    return same ? parent : py::Ref::borrow(self);
}

// The slot of `key`.
WriteSlot slot_of(PyObject* self, PyObject* key) {
    WriteSlot w;
    w.ops = &kDictNode;
    w.node = w.storage = self;
    w.slot.key = w.key = key;
    return w;
}

// The identity test of a write (its value already stored under the key:
// nothing happens), with the write's claims (write_core.hpp): both come
// before anything that may run Python code. A write of a primitive value
// under an exact key that runs none up to its store takes the test there
// instead, in the one critical section of the store (kPlainSlot), which
// makes the same answer, and claims nothing unless it meets a child there.
//
// Under the claims no rebind replaces the spec the write read
// (container/binding.hpp); one made before them refuses the write, having
// changed nothing.
struct Identity {
    const WriteSlot& w;
    ClaimScope& scope;
    PyObject* value;
    bool deferred;
    const WriteView& view;
    py::Ref occupant;  // what the key holds (null: nothing), once read
    bool* gone;        // set when the write finds the key absent and writes nothing

    // 1 when the key holds the value, 0 to go on, -1.
    int settle() {
        if (!deferred) return 0;
        deferred = false;
        if (claim_slot(scope, w) < 0 || spec_replaced_since<DictState>(w.node, view.binding) ||
            read_claimed(scope, w, occupant) < 0)
            return -1;
        if (occupant.get() != value) return 0;
        if (gone) *gone = !occupant;
        return 1;
    }
};

// What a write-back keeps of the occupant it lets go, for its pass to give
// back should the pass fail: its placement, when it keeps a tree.
void occupant_placement(PyObject* occupant, Placement& placed, bool& give_back) {
    give_back = false;
    if (!occupant || is_primitive(occupant)) return;
    const int tree = keeps_tree(occupant);
    if (tree > 0 && read_placement(occupant, placed, true)) give_back = true;
    // Unreadable, it is left where the write-back leaves it.
    if (!give_back) PyErr_Clear();
}

// The core write over the state `view` read when the write began. The field
// update names the path and target as they are after the store: read again
// unless the whole write ran natively, so nothing could have changed them.
// A write-back of a pass is kept by the pass (`kept_by`, when asked).
int write(PyObject* self, PyObject* key, PyObject* value, WriteView& view, ClaimScope& scope,
          py::Ref& update, bool* gone = nullptr, PassLog** kept_by = nullptr) {
    update.reset();
    // What the field's apply changed of the value, and a value made for the
    // write (a raw container wrapped, its members adopted), are given back
    // should the write drop it (container/pass_log.hpp).
    std::optional<WriteLog> made;
    // The spec engine's write-back of an entry it applied (applied_members.hpp).
    const typing::AppliedWrite named = typing::take_applied_write(self, key, value);
    const bool write_back = named.through != typing::Applied::No;
    if (refused_at_entry<DictState>(self, write_back)) return -1;
    // A write-back is kept by its pass, which takes it back should the pass
    // fail (container/pass_log.hpp): from here on, each adoption it makes.
    PassLog* pass = write_back ? PassLog::of(self) : nullptr;
    if (kept_by) *kept_by = pass;
    const std::size_t mark = pass ? pass->mark() : 0;
    Placement placed;
    bool give_back = false;
    if (!PyUnicode_Check(key) && !PyLong_Check(key))
        return raise_located_format(view.path.get(), PyExc_KeyError,
                                    "Key must be string or int type. Encountered %R.", key);
    const ContainerBridge* b = container_bridge();
    if (!b) return -1;
    const WriteSlot w = slot_of(self, key);
    // Exact keys hash and compare without running code of their own.
    bool native = is_primitive(value) && (PyUnicode_CheckExact(key) || PyLong_CheckExact(key));
    Identity identity{w, scope, value, true, view, {}, gone};
    // Settles the identity test before a step that may run Python code.
    auto python_runs = [&]() {
        native = false;
        return identity.settle();
    };
    if (!native)
        if (const int same = python_runs()) return same < 0 ? -1 : 0;
    PyObject* spec = view.spec.get();
    // A native Dict spec's kept facts give a constant str key's field with
    // no hold of the spec or its schema and no new reference to either
    // (dict_facts.hpp); the section keeps them, and what the write borrows
    // of them, to its end.
    typing::field::ReadSection reading;
    const typing::DictSpecFacts* facts =
        spec && PyUnicode_CheckExact(key) ? typing::dict_spec_facts(spec) : nullptr;
    py::MaybeRef schema;
    py::MaybeRef field;
    if (facts && facts->schema &&
        Py_TYPE(facts->schema.get()) == typing::schema::schema_type()) {
        const std::ptrdiff_t pos = facts->meta->field_meta_index.find_key(key);
        if (pos >= 0) {
            schema = py::MaybeRef::borrowed(facts->schema.get());
            field = py::MaybeRef::borrowed(
                facts->meta->const_fields[static_cast<std::size_t>(pos)].get());
        }
    }
    if (spec && !field) {
        py::Ref found;
        bool ok = true;
        if (!native_dict_spec_schema(spec, found, ok)) {
            if (const int same = python_runs()) return same < 0 ? -1 : 0;
            found = py::get_attr<"schema">(spec);
            if (!found) return -1;
            if (found.get() == Py_None) found.reset();
        } else if (!ok) {
            return -1;
        }
        schema = py::MaybeRef(std::move(found));
    }
    if (schema && !field) {
        if (Py_TYPE(schema.get()) != typing::schema::schema_type())
            if (const int same = python_runs()) return same < 0 ? -1 : 0;
        field = schema_field(schema.get(), key);
        if (!field) return -1;
        if (field.get() == Py_None) {
            const bool ran = !native;
            if (const int same = identity.settle()) return same < 0 ? -1 : 0;
            if (ran && read_view(self, key, view) < 0) return -1;
            py::Ref target = update_target(self, view);
            py::Ref path;
            if (!target || !node_path(self, path)) return -1;
            return raise_located_format(path.get(), PyExc_KeyError,
                                        "Key %R is not allowed for %S.", key,
                                        reinterpret_cast<PyObject*>(Py_TYPE(target.get())));
        }
    }
    if (!native_missing(*b))
        if (const int same = python_runs()) return same < 0 ? -1 : 0;
    const int missing = equals_missing(*b, value);
    if (missing < 0) return -1;
    // Reading a native Field's key has no effect: its answer matters only
    // for a missing value.
    const bool native_field = field && typing::field::is_field(field.get());
    const bool key_matters = field && (missing || !native_field);
    if (key_matters)
        if (const int same = python_runs()) return same < 0 ? -1 : 0;
    const int nonconst = key_matters ? has_nonconst_key(*b, field.get()) : 0;
    if (nonconst < 0) return -1;
    // What a written-back value passed of this dict's own field (the value
    // spec of a field that is not native is read by name; Python code has
    // run for such a field already).
    typing::Applied applied = typing::Applied::No;
    if (own_field_applied(named, field.get(), value,
                          effective_flag_allow_partial(view.allow_partial), applied) < 0)
        return -1;
    Adoption adopted;
    py::Ref replaced;
    if (missing && (!schema || nonconst)) {
        if (const int same = identity.settle()) return same < 0 ? -1 : 0;
        if (pass) occupant_placement(identity.occupant.get(), placed, give_back);
        const int removed = remove_slot(w, replaced);
        if (removed == 0 && gone) *gone = true;
        if (removed <= 0) return removed;
        if (pass) pass->stored_under(py::Ref::borrow(key), {}, replaced, std::move(placed),
                                     give_back, mark);
        adopted.value = b->missing_value;
    } else {
        const bool asked = field && applied != typing::Applied::ThroughField;
        const int kept = !native ? 0 : asked ? native_field_keeps(field.get(), value) : 1;
        if (kept < 0) return -1;
        bool stored = false;
        if (kept) {
            // A plain value over a plain occupant: one conditional store
            // decides, and nothing is claimed; an occupant that keeps a tree
            // takes the claimed road below.
            py::Ref now;
            const StoreOutcome plain = plain_store_if(self, w, value, view, now);
            if (plain == StoreOutcome::Error) return -1;
            if (plain == StoreOutcome::Done) {
                replaced = std::move(now);
                stored = true;
            } else if (now.get() == value) {
                return 0;
            } else if (const int same = python_runs()) {
                return same < 0 ? -1 : 0;
            }
            adopted.value = py::Ref::borrow(value);
        } else {
            if (const int same = python_runs()) return same < 0 ? -1 : 0;
            made.emplace(self, value);
            if (!formalized_value(self, key, field.get(), value, nullptr, nullptr, &adopted,
                                  applied))
                return -1;
        }
        int told = 0;
        if (!stored) {
            if (pass) occupant_placement(identity.occupant.get(), placed, give_back);
            const int r = replace_slot(w, adopted, Order::DetachFirst, identity.occupant.get(),
                                       replaced);
            if (made && (r > 0 || r == kStoodFailing)) told = made->keep();
            // A value that is not plain may hold what the thread's scope let
            // through and the dictionary's own flag would refuse.
            if ((r > 0 || r == kStoodFailing) && !is_primitive(adopted.value.get()))
                note_looser_store<DictState>(self, view.allow_partial);
            // A pass whose write-back stood though it failed decides on it.
            if (r == kStoodFailing && pass)
                pass->stored_under(py::Ref::borrow(key), adopted.value, replaced,
                                   std::move(placed), give_back, mark);
            if (r <= 0) return r < 0 ? -1 : 0;
        }
        if (pass) pass->stored_under(py::Ref::borrow(key), adopted.value, replaced,
                                     std::move(placed), give_back, mark);
        if (told < 0) return -1;
    }
    if (!replaced) replaced = b->missing_value;
    // Under the write's claims the dictionary's place is as it was when the
    // write claimed it; a write that ran Python code reads its state again.
    py::Ref spec_of_field;
    if (!native) {
        spec_of_field = view.spec;
        // The store stands: another thread's momentary hold is waited out.
        if (past_momentary_holds([&] { return read_view(self, key, view); }) < 0) return -1;
    }
    py::Ref target = update_target(self, view);
    py::Ref key_path = target ? update_key_path(self, key, view) : py::Ref();
    if (!key_path) return -1;
    update = make_field_update(*b, key_path.get(), target.get(), field.get(), replaced.get(),
                               adopted.value.get());
    return update ? 0 : -1;
}

}  // namespace

int notify(PyObject* self, const py::Ref& update) {
    // The SymDict's own attribute lookup tries the generic one first.
    return update ? notify_field_update(self, update.get(), sym_dict_type()->tp_getattro) : 0;
}

bool unstore(PyObject* self, PyObject* key, PyObject* value, PyObject* replaced,
             const Placement& placed, bool give_back) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    bool taken = true;
    py::Ref out;  // released after the sections: a finaliser may run
    // Only where the key still holds what the write-back stored.
    bool holds = false;
    {
        py::CriticalSection section(self);
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(self, key, &found) < 0) PyErr_Clear();
        out = py::Ref::steal(found);
        holds = found == value;
    }
    // What the write-back let go comes back only once it has the place it
    // had, so the dictionary never holds it naming another; one that will
    // not take it leaves the key to the write-back, which stands.
    if (holds && give_back && replaced && !take_back(replaced, placed, true, true)) {
        taken = false;
    } else if (holds) {
        py::CriticalSection section(self);
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(self, key, &found) >= 0) {
            py::Ref now = py::Ref::steal(found);
            if (found == value &&
                (replaced ? PyDict_SetItem(self, key, replaced) : PyDict_DelItem(self, key)) < 0)
                PyErr_Clear();
            out = std::move(now);
        } else {
            PyErr_Clear();
        }
    }
    PyErr_SetRaisedException(pending);
    return taken;
}

int set_item_core(PyObject* self, PyObject* key, PyObject* value, ClaimScope& scope,
                  py::Ref& update) {
    WriteView view;
    if (read_view(self, key, view) < 0 || refused_while_built(self, view)) return -1;
    return write(self, key, value, view, scope, update);
}

int ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    WriteView view;
    if (read_view(self, key, view) < 0 || refused_while_built(self, view)) return -1;
    const Gates gates = effective_gates(view.sealed, view.accessor_writable);
    const bool deleting = value == nullptr;
    PyObject* path = view.path.get();
    if (gates.sealed)
        return deleting ? refuse_container_write(path, "Cannot del item from a sealed Dict.", false)
                        : refuse_container_write(path, "Cannot modify field of a sealed Dict.", true);
    if (!gates.accessor_writable)
        return refuse_container_write(
            path,
            deleting ? "Cannot del Dict field by attribute or key while accessor_writable is set "
                       "to False. Use 'sym_rebind' method instead."
                     : "Cannot modify Dict field by attribute or key while accessor_writable is "
                       "set to False. Use 'sym_rebind' method instead.",
            true);
    if (deleting) {
        const int present = PyDict_Contains(self, key);
        if (present < 0) return -1;
        if (!present)
            return raise_located_format(path, PyExc_KeyError, "Key does not exist in Dict: %R.",
                                        key);
        const ContainerBridge* b = container_bridge();
        if (!b) return -1;
        value = b->missing_value.get();
    }
    py::Ref update;
    bool gone = false;
    PassLog* pass = nullptr;
    // Held to the end of the notification (claim.hpp).
    ClaimScope claims;
    if (write(self, key, value, view, claims, update, deleting ? &gone : nullptr, &pass) < 0)
        return -1;
    // A key another write removed since it was found: this delete came
    // second, and finds nothing to delete.
    if (gone)
        return raise_located_format(path, PyExc_KeyError, "Key does not exist in Dict: %R.", key);
    // A pass's write-back is reported once the pass stands.
    if (pass && update && pass->defer(update)) return 0;
    return notify(self, update);
}

PyObject* py_set_item_without_permission_check(PyObject* self, PyObject* const* args,
                                               Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kSetItemNoCheckParams, args, nargs, kwnames, a)) return nullptr;
    py::Ref update;
    ClaimScope claims;
    if (set_item_core(self, a[0], a[1], claims, update) < 0) return nullptr;
    return update ? update.release() : py::none();
}

}  // namespace vesk::symbolic::dict
