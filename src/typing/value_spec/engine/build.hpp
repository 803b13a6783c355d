// Building and copying engines, and the default rules every spec shares.
//
// Every kind constructor ends in `build_base`: it validates its own
// arguments, makes the payload and value type, and hands them over together
// with the common options. The builder applies the spec's own apply to a
// given default, so a spec never holds a default it would reject.
//
// Ownership: arguments passed as `py::Ref` / `SpecKind` / `SpecCommon` by
// value are consumed, also on failure. Results are new references.
// Errors: null Ref, empty optional or -1 with an exception set.
#pragma once

#include "typing/value_spec/engine/kind_ops.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace vesk::typing {

// The options common to every spec constructor.
struct SpecCommon {
    py::Ref default_factory;  // null = none
    py::Ref transform;        // null = none
    // The given default; null when the argument was omitted, which counts as
    // the canonical missing value.
    py::Ref default_value;
    Tri strict = Tri::Unset;
    bool is_noneable = false;
    bool frozen = false;
};

// The common options of a spec built from type arguments: no factory, no
// transform, no default, strict unset, neither noneable nor frozen.
[[nodiscard]] inline SpecCommon defaults() noexcept { return SpecCommon{}; }

// A finished engine from a kind's payload and the common options, or an
// exception (the typing bridge not installed, both a default and a factory,
// a factory that is not callable, the default rejected by the spec's own
// apply). `frozen` is set last, after the default was resolved.
[[nodiscard]] std::optional<SpecEngine> build_base(py::Ref value_type, SpecKind kind,
                                                   SpecCommon common);

struct ResolvedDefault {
    py::Ref value;  // null on failure
    DefaultOrigin origin = DefaultOrigin::Given;
    bool missing = false;  // `value` is a missing value: there is no default
};

// References a change takes out of an engine. Declared before the exclusive
// hold, it releases them after the hold ended: releasing the last reference
// may run a finaliser, which must not meet the hold.
class Detached {
public:
    void add(py::Ref ref) {
        if (ref) refs_.push_back(std::move(ref));
    }

private:
    std::vector<py::Ref> refs_;
};

// The default to store for the candidate `value`: a missing value becomes
// the one the kind derives (a Dict's from its schema), else the canonical
// missing value; with `apply` on, any other value goes through the engine's
// own apply (allow_partial on, `root_path` as given, `spec_obj` as the spec
// object; both may be null). Every Python call the store needs is made
// here (the missing-value test included), so call it under a shared hold (or
// on an engine nobody else sees) and store under the exclusive one.
[[nodiscard]] ResolvedDefault resolve_default(const SpecEngine& engine, py::Ref value, bool apply,
                                              PyObject* root_path, PyObject* spec_obj);

// Stores a resolved default (exclusive hold) without calling Python; the
// replaced one goes to `detached`. A non-missing default clears the factory.
void store_default(SpecEngine& engine, ResolvedDefault resolved, Detached& detached);

// Whether `factory` may be a default factory (callable); TypeError otherwise.
// Runs no Python code when it is.
[[nodiscard]] bool check_default_factory(PyObject* factory);
// Sets (or, with null, clears) a checked default factory (exclusive hold); a
// set factory makes the default the canonical missing value. Fails only
// without a typing bridge.
[[nodiscard]] int store_default_factory(SpecEngine& engine, py::Ref factory, Detached& detached);

// How a default is handed out on each use: scalars as they are, containers,
// dataclass instances and marked classes as deep copies (with `memo` when
// not null), anything else as it is (recorded in a dict `memo` as its own
// copy).
[[nodiscard]] py::Ref copy_default_value(PyObject* value, PyObject* memo);

// The default as `materialize_default` hands it out: with a factory, a new
// missing value under `allow_partial`, else the factory's product applied by
// the engine (spec object `spec_obj`, no root path); without one,
// `copy_default_value` of the stored default. Call it under a shared hold.
[[nodiscard]] py::Ref materialize(const SpecEngine& engine, PyObject* spec_obj,
                                  bool allow_partial);

// `copy.deepcopy(value, memo)`, or `copy.deepcopy(value)` when `memo` is null
// or None: the one deep copy of payload parts (for `deep_clone_payload`).
[[nodiscard]] py::Ref deep_copy(PyObject* value, PyObject* memo);

// A new engine sharing every reference of `engine`, with the same flags, an
// empty repr cache and its own version. Never fails.
[[nodiscard]] SpecEngine clone_ref(const SpecEngine& engine);

// A new engine whose default and container payload are deep-copied through
// `memo` (null or any object; only a dict is used as a memo). The value type,
// factory and transform are shared. Call it under a shared hold of the
// source spec: the deep copies run Python code.
[[nodiscard]] std::optional<SpecEngine> deep_clone(const SpecEngine& engine, PyObject* memo);

}  // namespace vesk::typing
