// The gated symbolic write and its Python-visible method.
#include "symbolic/object/writes/store_field.hpp"

#include "flags.hpp"
#include "py/hold.hpp"
#include "py/lazy.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/container/sorting.hpp"
#include "symbolic/node.hpp"
#include "symbolic/object/writes/attribute_write.hpp"
#include "symbolic/object_bridge.hpp"
#include "symbolic/object/object_state.hpp"
#include "symbolic/refusal.hpp"
#include "topology/key_path.hpp"

namespace vesk::symbolic::object {

namespace {

// What a write reads of the object, in one hold: its own gate flags and
// the parts of the write context (`ctx.fields` stays null for a blank
// object).
struct OwnState {
    bool sealed = false;
    bool writable = true;
    bool allow_partial = false;
};
bool read_own_state(PyObject* obj, PyObject* name, OwnState& own, WriteCtx& ctx) {
    py::Shared<ObjectState> held(obj);
    if (!held) return false;
    // Held whole by another thread's construction run again on it.
    if (refused_for_write<ObjectState>(obj)) return false;
    ctx.binding = held->binding();
    own.sealed = held->node.sealed;
    own.writable = held->node.accessor_writable;
    own.allow_partial = held->node.allow_partial;
    if (held->fields) {
        const ObjectBridge* b = object_bridge();
        PyObject* path = held->node.path.get();
        ctx.path = b && path == b->empty_key_path.get() ? py::MaybeRef::borrowed(path)
                                                        : py::MaybeRef(held->node.path);
        ctx.fields = held->fields;
        // An object at the root names its updates by its class's paths,
        // unless it keeps its own (kOwnRootPaths).
        if (name && path &&
            (kOwnRootPaths || !(topology::is_key_path(path) && topology::depth_of(path) == 0)))
            ctx.field_path = held->node.kept_child_path(path, name);
    }
    return true;
}

// The rest of the write context, once the object's state and the thread's
// scopes are read.
void complete_ctx(WriteCtx& ctx, const OwnState& own, const flags::Snapshot& scopes,
                  bool enable_topo, PyObject* schema) {
    ctx.schema = schema;
    ctx.allow_partial = scopes.forced(flags::FlagId::AllowPartial).value_or(own.allow_partial);
    ctx.enable_topo = enable_topo;
}

// Raises what the object bridge's `write_permission_error` makes of the
// located `message` (a new reference, consumed). Always -1.
int refuse(PyObject* obj, py::Ref message) {
    const ObjectBridge* b = object_bridge();
    if (!b || !message) return -1;
    py::Ref located = error_message(obj, message.get());
    return located ? refuse_with(b->write_permission_error.get(), located.get()) : -1;
}

int refuse_sealed(PyObject* obj, PyObject* name) {
    return refuse(obj, py::Ref::steal(PyUnicode_FromFormat(
                           "Cannot set attribute %R: object is sealed.", name)));
}

int refuse_locked(PyObject* obj, PyObject* cls) {
    py::Ref name = py::get_attr<"__name__">(cls);
    if (!name) return -1;
    if (!PyUnicode_Check(name.get())) {
        py::raise_arg_type("__name__", "str", name.get());
        return -1;
    }
    return refuse(obj, py::Ref::steal(PyUnicode_FromFormat(
                           "Cannot set attribute of <class %U> while `%U` has "
                           "`attr_write=False` or under `vk.as_sealed` context.",
                           name.get(), name.get())));
}

// A blank object cannot take a write: raise what reading its
// `_sym_attributes` raises. A class that answers that read anyway still
// gets the refusal, so the write is never reported as done.
int refuse_blank(PyObject* obj) {
    py::Ref view = py::get_attr<"_sym_attributes">(obj);
    if (!view) return -1;
    py::Ref name = py::Ref::steal(PyType_GetName(Py_TYPE(obj)));
    if (name)
        PyErr_Format(PyExc_AttributeError, "'%U' object has no attribute '_sym_attributes'",
                     name.get());
    return -1;
}

}  // namespace

int write_ctx(PyObject* obj, bool enable_topo, PyObject* schema, WriteCtx& out) {
    OwnState own;
    if (!read_own_state(obj, nullptr, own, out)) return -1;
    if (!out.fields) return 0;
    complete_ctx(out, own, flags::snapshot(), enable_topo, schema);
    return 1;
}

py::Ref error_message(PyObject* obj, PyObject* message) {
    const ObjectBridge* b = object_bridge();
    if (!b) return {};
    py::Ref path;
    {
        py::Shared<ObjectState> held(obj);
        if (!held) return {};
        path = held->node.path;
    }
    return located(b->message_on_path.get(), message, path.get(), Located::Converted);
}

int store_symbolic_field(PyObject* obj, PyObject* cls, PyObject* name, PyObject* value,
                         PyObject* field, bool enable_topo, PyObject* schema,
                         const WriteClass* found) {
    // The gates and the write context read the object once, and the thread's
    // scopes once: no Python code runs between them, so each is the same
    // state either way.
    OwnState own;
    WriteCtx ctx;
    if (!read_own_state(obj, name, own, ctx)) return -1;
    const flags::Snapshot scopes = flags::snapshot();
    if (scopes.forced(flags::FlagId::Sealed).value_or(own.sealed)) return refuse_sealed(obj, name);
    if (!scopes.forced(flags::FlagId::AccessorWritable).value_or(own.writable))
        return refuse_locked(obj, cls);
    if (!ctx.fields) return refuse_blank(obj);
    complete_ctx(ctx, own, scopes, enable_topo, schema);
    if (found && found->public_field) {
        ctx.class_meta = found->meta;
        ctx.public_field = found->public_field;
        ctx.root_field_path = found->root_path;
    }
    py::Ref update;
    // Held to the end of the notification (claim.hpp).
    std::optional<ClaimScope> claims;
    if (inline_write_field(obj, name, value, field, ctx, claims, update) < 0) return -1;
    return update ? notify_field_update(obj, update.get()) : 0;
}

constexpr const char* kStoreNames[] = {"cls", "name", "value", "field", "enable_topo", "schema"};
py::Params<6> kStoreSymbolicFieldParams{"store_symbolic_field", kStoreNames, 6, 6};

PyObject* py_store_symbolic_field(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    py::Args<6> a;
    bool enable_topo = false;
    if (!py::parse(kStoreSymbolicFieldParams, args, nargs, kwnames, a) ||
        !py::arg_bool_scalar("enable_topo", a[4], enable_topo))
        return nullptr;
    if (store_symbolic_field(self, a[0], a[1], a[2], a[3], enable_topo, a[5]) < 0) return nullptr;
    return py::none();
}

}  // namespace vesk::symbolic::object
