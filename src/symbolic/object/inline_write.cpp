// One symbolic write without gates or notification: the missing value, the
// choice of road and the store step.
#include "py/class_call.hpp"
#include "py/lazy.hpp"
#include "symbolic/adoption.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/node.hpp"
#include "symbolic/object/bridge.hpp"
#include "symbolic/object/store_field.hpp"
#include "symbolic/object/write_roads.hpp"
#include "symbolic/policy.hpp"
#include "topology/key_path.hpp"

namespace vesk::symbolic::object {

namespace {

// The field dictionary's entry for `name`, or the missing value.
bool old_value(const WriteCtx& ctx, PyObject* name, const ObjectBridge& b, py::Ref& out) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(ctx.fields.get(), name, &found) < 0) return false;
    out = found ? py::Ref::steal(found) : b.missing_value;
    return true;
}

// The update's key path. Key paths are immutable values, so an object at
// the root hands every update of a field the one path its class keeps,
// rather than a new equal one per write.
py::Ref update_key_path(const ObjectBridge& ob, PyObject* name, const WriteCtx& ctx) {
    PyObject* parent = ctx.path.get();
    const bool at_root = !parent || parent == Py_None ||
                         (topology::is_key_path(parent) && topology::depth_of(parent) == 0);
    if (ctx.root_field_path && at_root &&
        ob.keypath_cls.get() == reinterpret_cast<PyObject*>(topology::key_path_type_if_built()))
        return py::Ref::borrow(ctx.root_field_path);
    return field_key_path(ob, name, ctx);
}

// `field_update_cls(keypath_cls(name, path), obj, field, old, new)`.
py::Ref field_update(PyObject* obj, PyObject* name, PyObject* field, PyObject* old,
                     PyObject* now, const ObjectBridge& ob, const WriteCtx& ctx) {
    const ContainerBridge* cb = container_bridge();
    if (!cb) return {};
    py::Ref path = update_key_path(ob, name, ctx);
    if (!path) return {};
    PyObject* args[] = {nullptr, path.get(), obj, field, old, now};
    return py::call_class(cb->field_update_cls.get(), args, 5);
}

// Whether the field governs a non-constant key. 1, 0 or -1.
int has_nonconst_key(PyObject* field) {
    const ContainerBridge* cb = container_bridge();
    if (!cb) return -1;
    py::Ref key = py::get_attr<"key">(field);
    return key ? PyObject_IsInstance(key.get(), cb->nonconst_key_cls.get()) : -1;
}

// A missing value under a non-constant key removes the entry.
int remove_entry(PyObject* obj, PyObject* name, PyObject* value, PyObject* field,
                 const ObjectBridge& ob, const WriteCtx& ctx, py::Ref& update) {
    py::Ref old;
    if (!old_value(ctx, name, ob, old)) return -1;
    if (old.get() == value) return 0;
    const int present = PyDict_Contains(ctx.fields.get(), name);
    if (present <= 0) return present;
    if (detach_old_child(old.get()) < 0 || PyDict_DelItem(ctx.fields.get(), name) < 0) return -1;
    update = field_update(obj, name, field, old.get(), ob.missing_value.get(), ob, ctx);
    return update ? 0 : -1;
}

// The child to store for `formal`: adopted under the object by the class's
// assign policy for the field. The built-in value classes keep no tree and
// can never be given one, so a primitive value is stored as it is, and the
// policy, which could change nothing about it, is not looked up.
py::Ref adopted(PyObject* obj, PyObject* name, PyObject* formal, const WriteCtx& ctx) {
    if (is_primitive(formal)) return py::Ref::borrow(formal);
    py::Ref policy;
    if (!class_field_policy(obj, name, policy)) return {};
    AdoptArgs a;
    a.key = name;
    a.adopting = ctx.enable_topo;
    a.owner_path = ctx.path.get();
    a.container = obj;
    a.parent_to_set = obj;
    a.policy = policy.get();
    return adopt_child(formal, a);
}

// Adopts `formal` as the field's child, detaches the replaced one and
// stores; `value` is what the write was given, for the identity test.
int store_step(PyObject* obj, PyObject* name, PyObject* value, PyObject* formal,
               PyObject* field, const ObjectBridge& ob, const WriteCtx& ctx, py::Ref& update) {
    py::Ref old;
    if (!old_value(ctx, name, ob, old)) return -1;
    if (old.get() == value) return 0;
    py::Ref child = adopted(obj, name, formal, ctx);
    if (!child || detach_old_child(old.get()) < 0 ||
        PyDict_SetItem(ctx.fields.get(), name, child.get()) < 0)
        return -1;
    update = field_update(obj, name, field, old.get(), child.get(), ob, ctx);
    return update ? 0 : -1;
}

}  // namespace

int inline_write_field(PyObject* obj, PyObject* name, PyObject* value, PyObject* field,
                       const WriteCtx& ctx, py::Ref& update) {
    update.reset();
    const ObjectBridge* ob = object_bridge();
    if (!ob) return -1;
    py::Ref to_validate = py::Ref::borrow(value);
    bool is_default = false;
    if (Py_TYPE(value) == Py_TYPE(ob->missing_value.get())) {
        const int nonconst = has_nonconst_key(field);
        if (nonconst < 0) return -1;
        if (nonconst) return remove_entry(obj, name, value, field, *ob, ctx, update);
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
        formal = general_road(obj, name, to_validate.get(), field, ctx, is_default);
        if (!formal) return -1;
    }
    return store_step(obj, name, value, formal.get(), field, *ob, ctx, update);
}

}  // namespace vesk::symbolic::object
