// The one per-kind dispatch of the value-spec engine.
//
// Everything that differs by kind and is implemented by the kind itself is
// reached through `ops(kind)`: a table of `KindOps`, one entry per `SpecKind`
// variant in variant order (kind_ops.cpp). Each kind defines its entry in
// its own file (`kBoolOps` in primitives/bool.cpp, ...); adding a kind is its
// file plus its line in the table. Until a kind is built its line points at
// `kUnbuiltOps`, whose `py_class` raises an internal error.
//
// A null function pointer is the common behaviour written next to it, so a
// kind fills only what it does differently.
//
// Facts that the engine derives from the payload alone (the probes,
// `annotation`, the children walked by strictness, `__call__`) are answered
// by the engine for every kind and need no entry here.
//
// Error convention: null Ref / false / -1 / `Shortcut::Error` with an
// exception set. Functions are called with the spec held shared (or on an
// engine that no other thread can see) and may run Python code.
#pragma once

#include "typing/value_spec/engine/spec_engine.hpp"

#include <array>
#include <cstdint>

namespace vesk::typing {

struct ApplyOptions;  // engine/apply.hpp
class SpecItems;      // value_spec/format.hpp

// Answer of a native shortcut: undecided is never an error.
enum class Shortcut : std::uint8_t { Error, Accepted, Undecided };

struct KindOps {
    // The short kind name of the text form ("Int", "Float", "List", ...).
    const char* (*label)(const SpecKind& kind);
    // The package's dotted class name ("vesk.typing.Int", ...).
    const char* (*serialization_key)(const SpecKind& kind);
    // The native class of a spec of this payload (Int or Float by `is_float`,
    // Callable or Functor by `is_functor`); borrowed, null with an exception.
    PyTypeObject* (*py_class)(const SpecKind& kind);

    // Whether the repr depends on this engine alone and may be cached.
    bool repr_cacheable;
    // list_wrap_threshold passed when the caller gave none; -1 = pass none.
    std::int64_t default_wrap_threshold;
    // Adds the items of the text form in the kind's order, the common ones
    // included where the kind shows them. Null: the common items in order.
    bool (*format_items)(SpecItems& items);

    // The kind's native shortcut, run first on every apply. `options` may be
    // adjusted for the rest of the call. On `Accepted`, `out` holds the
    // result. Null: undecided.
    Shortcut (*shortcut)(const SpecEngine& engine, PyObject* spec_obj, PyObject* value,
                         ApplyOptions& options, py::Ref& out);
    // The per-kind step after the type check. Null: the value itself.
    py::Ref (*apply_kind)(const SpecEngine& engine, py::Ref value, const ApplyOptions& options,
                          PyObject* path_text);
    // The kind's constraint check on the root path (text rendered only for
    // a failure); 0 or -1. Null: none.
    int (*validate)(const SpecEngine& engine, PyObject* value, PyObject* root_path);

    // Replaces in `copy` (a reference clone of the source engine) the payload
    // parts that a deep copy must not share, copying through `memo`; 0 or -1.
    // Null: the payload is shared.
    int (*deep_clone_payload)(SpecEngine& copy, PyObject* memo);

    // The forward references of the spec (a set or frozenset). Null: the
    // bridge's shared empty frozenset.
    py::Ref (*forward_refs)(const SpecEngine& engine);
    // The value type to check against, resolving forward references. Null:
    // the stored value type (null without error when there is none).
    py::Ref (*value_type_obj)(const SpecEngine& engine);
};

// Placeholder entry for a kind whose file is not built yet.
extern const KindOps kUnbuiltOps;

// Each kind's entry, defined in the kind's own file.
extern const KindOps kBoolOps;
extern const KindOps kStrOps;
extern const KindOps kNumberOps;
extern const KindOps kEnumOps;
extern const KindOps kAnyOps;
extern const KindOps kListOps;
extern const KindOps kTupleOps;
extern const KindOps kUnionOps;
extern const KindOps kObjectOps;
extern const KindOps kTypeOps;
extern const KindOps kDictOps;
extern const KindOps kCallableOps;

// The table, indexed by `SpecKind::index()` (kind_ops.cpp).
extern const std::array<const KindOps*, kKindCount> kKindOps;

[[nodiscard]] inline const KindOps& ops(const SpecKind& kind) noexcept {
    return *kKindOps[kind.index()];
}
[[nodiscard]] inline const KindOps& ops(const SpecEngine& engine) noexcept {
    return ops(engine.kind);
}

}  // namespace vesk::typing
