// The symbolic write of one field of a symbolic object: two permission
// gates, the write context, validation by one of two roads, the store step
// and the one-element change notification.
//
// The fast road validates a plain value against the class's native Schema
// with no Python-level call: the name's constant-key index, the field's
// shared FieldMeta and the acceptance funnel, the schema held shared across
// them. Everything the funnel cannot settle (frozen fields, names outside
// the schema's constant keys, raw containers, foreign schemas) takes the
// general road: the container bridge's `wrap_value`, the package's transform
// and the field's `apply`.
//
// The object's own hold is taken only to read its flags, path and field
// dictionary, and is never kept while Python code runs. What changes the
// flags a write checks (a seal, their setters, a construction run again)
// moves the object's count on under its claim (symbolic/checked_change.hpp):
// the write compares the count it read under its own claims, or, storing a
// plain value without any, in the field dictionary's critical section, so it
// never stores after such a change returned. The field is stored
// by the keyed write of write_core.hpp under the field dictionary's
// critical section: a store lands only over the value the write read and
// let go, so of two threads writing one field each reports exactly the
// value its store replaced.
//
// Errors follow the interpreter's convention: -1 or null with an exception
// set.
#pragma once

#include "py/args.hpp"
#include "py/maybe_ref.hpp"
#include "py/ref.hpp"
#include "symbolic/claim.hpp"

#include <cstdint>
#include <optional>

namespace vesk::symbolic::object {

struct CtorMeta;
struct PublicField;
struct WriteClass;

// Which key path an update names for a field of an object at the root. With
// the global lock, the one its class keeps (no path made per object). On the
// free-threaded build, one the object keeps, as an object below the root
// does: the class's path is shared by every thread's updates, and each
// update record stores it, an atomic count on one cache line for all of
// them; the object's own is counted by the thread that made it. The price is
// one key path per object and field written, made at its first write.
#ifdef Py_GIL_DISABLED
inline constexpr bool kOwnRootPaths = true;
#else
inline constexpr bool kOwnRootPaths = false;
#endif

// What one symbolic write works with, read under the object's shared hold.
struct WriteCtx {
    // The object's key path; null for none. The shared empty path of every
    // root is borrowed from the object bridge, which keeps it for good.
    py::MaybeRef path;
    py::Ref fields;      // the field dictionary
    PyObject* schema = nullptr;  // the schema the write was handed (borrowed)
    bool allow_partial = false;  // the thread's scope when set, else the object's flag
    bool enable_topo = false;
    // The field's key path under a root, kept by the class's metadata (and
    // borrowed for as long as the caller keeps it), for an update made while
    // the object is at the root; null: build it.
    PyObject* root_field_path = nullptr;
    // The class's metadata and the public init field written, when the write
    // came through the attribute-write slot (which keeps both); the fast road
    // takes what the metadata knows of the field (WriteFacts).
    const CtorMeta* class_meta = nullptr;
    const PublicField* public_field = nullptr;
    // The field's key path under `path`, as the object keeps it (node.hpp,
    // ChildPaths); null: build it.
    py::Ref field_path;
    // The object's count of changes to its flags, read with them
    // (object_state.hpp): the write stores only while it is unchanged.
    std::uint32_t binding = 0;
};

// The write context of `obj`: 1 built, 0 a blank object (nothing set), -1
// error (the object is held for a write).
[[nodiscard]] int write_ctx(PyObject* obj, bool enable_topo, PyObject* schema, WriteCtx& out);

// `message` located at the object's path by the object bridge's
// `message_on_path`, as a str.
[[nodiscard]] py::Ref error_message(PyObject* obj, PyObject* message);

// Validates `value` for the field `name`, adopts and stores it, and answers
// the field update in `update` (null when nothing changed: the identical
// value again, or removing an absent entry). Runs no gate and sends no
// notification. Its claims (claim.hpp) go to `scope`, opened there when the
// write first needs it, which the caller keeps to the write's end; under them
// the object's path in `ctx` is read again. 0 or -1.
[[nodiscard]] int inline_write_field(PyObject* obj, PyObject* name, PyObject* value,
                                     PyObject* field, WriteCtx& ctx,
                                     std::optional<ClaimScope>& scope, py::Ref& update);

// The gated write: sealed gate, accessor gate, the write context (a blank
// object raises what reading its `_sym_attributes` raises), the write, and
// the notification of its update. `found`, when given, is the attribute-write
// slot's classification, whose metadata the write uses. 0 or -1.
[[nodiscard]] int store_symbolic_field(PyObject* obj, PyObject* cls, PyObject* name,
                                       PyObject* value, PyObject* field, bool enable_topo,
                                       PyObject* schema, const WriteClass* found = nullptr);

// `SymObject.store_symbolic_field(cls, name, value, field, enable_topo, schema)`.
PyObject* py_store_symbolic_field(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);
extern py::Params<6> kStoreSymbolicFieldParams;

}  // namespace vesk::symbolic::object
