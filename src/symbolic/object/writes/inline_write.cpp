// One symbolic write without gates or notification: the missing value, the
// choice of road and the store step, whose store and removal are the keyed
// write of write_core.hpp over the field dictionary.
#include "py/borrow.hpp"
#include "py/class_call.hpp"
#include "py/critical_section.hpp"
#include "py/lazy.hpp"
#include "py/write_span.hpp"
#include "symbolic/adoption.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/child_paths.hpp"
#include "symbolic/container/pass_log.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/node.hpp"
#include "symbolic/object_bridge.hpp"
#include "symbolic/object/object_state.hpp"
#include "symbolic/object/writes/store_field.hpp"
#include "symbolic/object/writes/write_roads.hpp"
#include "symbolic/policy.hpp"
#include "symbolic/shortcuts.hpp"
#include "symbolic/slots.hpp"
#include "symbolic/write_core.hpp"
#include "topology/key_path.hpp"

#include <optional>

namespace vesk::symbolic::object {

namespace {

// The field's slot in the field dictionary.
WriteSlot slot_of(PyObject* obj, PyObject* name, const WriteCtx& ctx) {
    WriteSlot w;
    w.ops = &kObjectNode;
    w.node = obj;
    w.storage = ctx.fields.get();
    w.slot.key = w.key = name;
    return w;
}

// The update's key path. Key paths are immutable values, so an object hands
// every update of a field the one path it keeps under its path (at the root,
// with the global lock, the one its class keeps: kOwnRootPaths), rather than
// a new equal one per write.
py::MaybeRef update_key_path(PyObject* obj, const ObjectBridge& ob, PyObject* name,
                             const WriteCtx& ctx) {
    PyObject* parent = ctx.path.get();
    const bool at_root = !parent || parent == Py_None ||
                         (topology::is_key_path(parent) && topology::depth_of(parent) == 0);
    const bool native =
        ob.keypath_cls.get() == reinterpret_cast<PyObject*>(topology::key_path_type_if_built());
    if (!native) return field_key_path(ob, name, ctx);
    if (ctx.field_path) return ctx.field_path;
    if (ctx.root_field_path && at_root && !kOwnRootPaths)
        return py::MaybeRef::borrowed(ctx.root_field_path);
    py::Ref path = field_key_path(ob, name, ctx);
    if (path) keep_child_path<ObjectState>(obj, parent, name, path.get());
    return path;
}

// `field_update_cls(keypath_cls(name, path), obj, field, old, new)`.
py::Ref field_update(PyObject* obj, PyObject* name, PyObject* field, PyObject* old,
                     PyObject* now, const ObjectBridge& ob, const WriteCtx& ctx) {
    const ContainerBridge* cb = container_bridge();
    if (!cb) return {};
    py::MaybeRef path = update_key_path(obj, ob, name, ctx);
    if (!path) return {};
    PyObject* args[] = {nullptr, path.get(), obj, field, old, now};
    return py::call_class(cb->field_update_cls.get(), args, 5);
}

// The object's path as it is now: read again once the write's claims hold
// it still (it may have moved since the write context was read), and its
// flags' count, which no change may have moved on since the write read them.
bool claimed_path(PyObject* obj, WriteCtx& ctx) {
    py::Shared<ObjectState> held(obj);
    if (!held) return false;
    // A flag the write checked changed before its claims held the object.
    if (held->binding() != ctx.binding) {
        py::raise_claim_refused();
        return false;
    }
    const ObjectBridge* b = object_bridge();
    PyObject* path = held->node.path.get();
    if (path == ctx.path.get()) return true;
    ctx.path = b && path == b->empty_key_path.get() ? py::MaybeRef::borrowed(path)
                                                    : py::MaybeRef(held->node.path);
    ctx.field_path.reset();
    return true;
}

// Claims the field's slot and what it holds (write_core.hpp), with the
// object's path read again under them. 0 or -1.
int claim_field(ClaimScope& scope, PyObject* obj, const WriteSlot& w, WriteCtx& ctx,
                py::Ref& occupant) {
    if (claim_slot(scope, w) < 0 || read_claimed(scope, w, occupant) < 0) return -1;
    return claimed_path(obj, ctx) ? 0 : -1;
}

// The write's scope, opened at its first need: a plain value stored over a
// plain one, the commonest write, claims nothing and opens none.
ClaimScope& opened(std::optional<ClaimScope>& scope) {
    if (!scope) scope.emplace();
    return *scope;
}

// A missing value under a non-constant key removes the entry.
int remove_entry(ClaimScope& scope, PyObject* obj, PyObject* name, PyObject* value,
                 PyObject* field, const ObjectBridge& ob, WriteCtx& ctx, py::Ref& update) {
    const WriteSlot w = slot_of(obj, name, ctx);
    py::Ref occupant;
    if (claim_field(scope, obj, w, ctx, occupant) < 0) return -1;
    if ((occupant ? occupant.get() : ob.missing_value.get()) == value) return 0;
    py::Ref removed;
    const int r = remove_slot(w, removed);
    if (r <= 0) return r;
    update = field_update(obj, name, field, removed.get(), ob.missing_value.get(), ob, ctx);
    return update ? 0 : -1;
}

// Adopts `formal` under the object by the class's assign policy for the
// field. The built-in value classes keep no tree and can never be given
// one, so a primitive value is taken as it is, and the policy, which could
// change nothing about it, is not looked up.
bool adopt(PyObject* obj, PyObject* name, PyObject* formal, const WriteCtx& ctx,
           Adoption& out) {
    if (is_primitive(formal)) {
        out.value = py::Ref::borrow(formal);
        return true;
    }
    py::Ref policy;
    if (!class_field_policy(obj, name, policy)) return false;
    AdoptArgs a;
    a.key = name;
    a.adopting = ctx.enable_topo;
    a.owner_path = ctx.path.get();
    a.container = obj;
    a.parent_to_set = obj;
    a.policy = policy.get();
    return adopt_child(formal, a, out);
}

// A primitive value stored as it was given needs no adoption, and runs no
// Python code up to its store: one critical section of the store decides,
// its identity test included, and nothing is claimed, unless the field
// holds the value already or a child to let go (write_core.hpp,
// kPlainSlot). 1 decided (stored, or already there), 0 to take the claimed
// road, -1.
int store_plain(PyObject* obj, PyObject* name, PyObject* value, PyObject* field,
                const ObjectBridge& ob, const WriteCtx& ctx, py::Ref& update) {
    py::Ref now;
    StoreOutcome stored;
    {
        // In one section with the test of the flags' count, which a change of
        // them moves on in this same section (symbolic/checked_change.hpp).
        py::CriticalSection section(ctx.fields.get());
        if (py::state<ObjectState>(obj).binding() != ctx.binding) {
            py::raise_claim_refused();
            return -1;
        }
        stored = dict_store_locked(ctx.fields.get(), SlotKey{name}, kPlainSlot, value, now);
    }
    if (stored == StoreOutcome::Error) return -1;
    if (stored == StoreOutcome::Done) {
        update = field_update(obj, name, field, now ? now.get() : ob.missing_value.get(), value,
                              ob, ctx);
        return update ? 1 : -1;
    }
    return now.get() == value ? 1 : 0;
}

// Adopts `formal` as the field's child, detaches the replaced one and
// stores, under the write's claims; `value` is what the write was given,
// for the identity test. `made` is kept once the store stands.
[[gnu::noinline]] int store_step(ClaimScope& scope, PyObject* obj, PyObject* name,
                                 PyObject* value, PyObject* formal, PyObject* field,
                                 const ObjectBridge& ob, WriteCtx& ctx,
                                 std::optional<WriteLog>& made, py::Ref& update) {
    const WriteSlot w = slot_of(obj, name, ctx);
    py::Ref occupant;
    if (claim_field(scope, obj, w, ctx, occupant) < 0) return -1;
    if ((occupant ? occupant.get() : ob.missing_value.get()) == value) return 0;
    Adoption adopted;
    if (!adopt(obj, name, formal, ctx, adopted)) return -1;
    py::Ref replaced;
    const int stored = replace_slot(w, adopted, Order::DetachFirst, occupant.get(), replaced);
    const int told = made && (stored > 0 || stored == kStoodFailing) ? made->keep() : 0;
    if (stored <= 0) return stored < 0 ? -1 : 0;
    if (told < 0) return -1;
    if (!replaced) replaced = ob.missing_value;
    update = field_update(obj, name, field, replaced.get(), adopted.value.get(), ob, ctx);
    return update ? 0 : -1;
}

}  // namespace

int inline_write_field(PyObject* obj, PyObject* name, PyObject* value, PyObject* field,
                       WriteCtx& ctx, std::optional<ClaimScope>& scope, py::Ref& update) {
    update.reset();
    // Closed by a construction of this thread (py/write_span.hpp).
    if (py::refused_by_span(obj)) return -1;
    const ObjectBridge* ob = object_bridge();
    if (!ob) return -1;
    py::Ref to_validate = py::Ref::borrow(value);
    // What the field's apply changed of the value, and a value made for the
    // write (a raw container wrapped, its members adopted), are given back
    // should the write drop it (container/pass_log.hpp).
    std::optional<WriteLog> made;
    bool is_default = false;
    if (Py_TYPE(value) == Py_TYPE(ob->missing_value.get())) {
        const ContainerBridge* cb = container_bridge();
        if (!cb) return -1;
        const int nonconst = has_nonconst_key(*cb, field);
        if (nonconst < 0) return -1;
        if (nonconst) return remove_entry(opened(scope), obj, name, value, field, *ob, ctx, update);
        // The default is copied as construction copies it for an absent
        // field: stored as it is, one mutable default would be shared by
        // every object reset to it and by the field itself.
        py::Ref declared = py::get_attr<"default_value">(field);
        if (!declared) return -1;
        to_validate =
            py::Ref::steal(PyObject_CallOneArg(ob->copy_default.get(), declared.get()));
        if (!to_validate) return -1;
        is_default = true;
    }
    py::Ref formal;
    const FastRoad fast = fast_road(name, to_validate.get(), ctx, formal);
    if (fast == FastRoad::Error) return -1;
    if (fast == FastRoad::General) {
        // Open before the wraps: what they adopt for the write is claimed
        // in it.
        (void)opened(scope);
        made.emplace(obj, to_validate.get());
        formal = general_road(obj, name, to_validate.get(), field, ctx, is_default);
        if (!formal) return -1;
    }
    if (formal.get() == value && is_primitive(value)) {
        const int plain = store_plain(obj, name, value, field, *ob, ctx, update);
        const int told = plain > 0 && made ? made->keep() : 0;
        if (plain != 0) return plain < 0 || told < 0 ? -1 : 0;
    }
    return store_step(opened(scope), obj, name, value, formal.get(), field, *ob, ctx, made,
                      update);
}

}  // namespace vesk::symbolic::object
