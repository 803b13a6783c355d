// SpecEngine: the native state behind every value spec, whatever its Python
// class. The kind classes build one through `build_base` (build.hpp) and the
// Python object `SpecBase` (and every subclass) holds exactly one.
//
// Layout. A spec object is `py::Object<SpecEngine>` (`SpecObject`): the
// object header, the borrow flag, then the engine. Code never casts by hand:
// it checks `is_spec` and then takes a hold (`SpecRead`, `SpecMutation`,
// `SpecScope` below), which hands out the engine for as long as it lasts.
//
// Locking. The engine has no lock of its own. It is guarded by the object's
// borrow flag through the binding layer's holds (py/hold.hpp): readers
// (apply, getters, probes) take a shared hold, refused with "Already mutably
// borrowed" while a mutator holds it; mutators take the exclusive hold with
// one compare-and-set, never wait, and are refused with the mutation-guard
// error (`py::Refuse::Mutation`) while anyone holds it. Readers keep their
// hold while Python code runs (transforms, `custom_apply`), which is what
// refuses a mutation of a spec from inside its own apply. The one exception is
// the repr cache, which has its own small lock and may be filled under a
// shared hold.
//
// Version. Every exclusive hold, as it ends, empties the repr cache and moves
// `version` and the change epoch on (`changed`, called by the binding
// layer), so no mutator can forget either; the epoch drops the cached
// acceptance rules of this spec and of every spec composed from it. A mutator that computes under a shared hold and stores under
// an exclusive one compares the version it read with the one it finds, and
// computes again when another store came in between.
//
// Engines are built, cloned and deep-cloned before any other thread can see
// them; afterwards they change only through the mutators of SpecBase, the
// extension of a spec and `Any.annotate`.
//
// Errors follow the interpreter's convention throughout: a null Ref, an
// empty optional, false or -1 means an exception is set. Nothing here throws
// except allocation failure, which the binding layer's entries turn into
// MemoryError.
#pragma once

#include "py/borrow.hpp"
#include "py/hold.hpp"
#include "py/mutex.hpp"
#include "py/ref.hpp"
#include "py/type.hpp"
#include "typing/change_epoch.hpp"
#include "typing/published_slot.hpp"
#include "typing/value_spec/engine/elem_rules.hpp"
#include "typing/value_spec/engine/spec_kind.hpp"

#include <cstdint>
#include <utility>

namespace vesk::typing {

struct DictSpecFacts;

// The cached repr text of a spec (a str), guarded by its own mutex. It is
// filled by readers under a shared hold of the spec, so every operation is
// const; a filler keeps that hold from formatting to storing, so a change
// (which empties the cache as its exclusive hold ends) never lands between
// them. The lock is held only to read or swap the reference, never while
// formatting runs, so two threads that miss together both format and the
// later store stays. A copy or move of an engine starts with an empty cache.
class ReprCache {
public:
    ReprCache() noexcept = default;
    ReprCache(const ReprCache&) noexcept {}
    ReprCache(ReprCache&&) noexcept {}
    ReprCache& operator=(const ReprCache&) noexcept {
        clear();
        return *this;
    }
    ReprCache& operator=(ReprCache&&) noexcept {
        clear();
        return *this;
    }

    // A new reference to the cached text, or null (no error set) when empty.
    [[nodiscard]] py::Ref get() const noexcept {
        py::MutexLock lock(mutex_);
        return text_;
    }
    // Replaces the cached text (null empties it).
    void store(py::Ref text) const noexcept {
        {
            py::MutexLock lock(mutex_);
            text_.swap(text);
        }
        // the replaced text is released here, outside the lock
    }
    void clear() const noexcept { store(py::Ref()); }

private:
    mutable py::SpinMutex mutex_;
    mutable py::Ref text_;
};

// The acceptance rules derived from a spec as an element (elem_rules.hpp;
// the funnel derives them), one without and one with containers allowed. They are read and stored
// without any hold of the spec: a rule is used only while the change epoch
// it was derived in is current, which every exclusive hold moves on as it
// ends. A copy or move of an engine starts with empty slots.
struct RuleCache {
    field::PublishedSlot<funnel::CompiledRule> slots[2];

    template <class V>
    void visit(V&& v) {
        for (auto& slot : slots) slot.visit(v);
    }
};

struct SpecEngine {
    SpecKind kind;
    // The default; the canonical missing value when the spec has none. Never
    // null in a built engine.
    py::Ref default_value;
    py::Ref value_type;       // class or tuple of classes; null = none
    py::Ref default_factory;  // null = none; when set, `default_value` is the missing value
    py::Ref transform;        // null = none
    ReprCache repr_cache;
    RuleCache rules;
    // A Dict spec's facts for SymDict construction, read and stored without
    // any hold, like `rules`. They hold the schema's compiled metadata, so
    // their type is the schema room's (typing/schema/dict_spec_facts.hpp):
    // it is complete wherever the engine's references are visited.
    field::PublishedSlot<DictSpecFacts> dict_facts;
    std::uint64_t version = 0;  // moved on by every exclusive hold
    bool is_noneable = false;
    bool frozen = false;
    Tri strict = Tri::Unset;

    SpecEngine() noexcept = default;
    SpecEngine(SpecEngine&&) noexcept = default;
    SpecEngine& operator=(SpecEngine&&) noexcept = default;
    // Copies are explicit: see `clone_ref` (build.hpp).
    SpecEngine(const SpecEngine&) = delete;
    SpecEngine& operator=(const SpecEngine&) = delete;

    [[nodiscard]] KindId id() const noexcept { return kind_id(kind); }
    [[nodiscard]] bool is_strict() const noexcept { return strict == Tri::True; }
    // Neither frozen nor transformed: what the spec produces is what its kind
    // accepts, which every native shortcut requires.
    [[nodiscard]] bool is_plain() const noexcept { return !frozen && !transform; }

    // Called by every exclusive hold of the spec as it ends (py/hold.hpp).
    void changed() noexcept {
        repr_cache.clear();
        ++version;
        note_change();
    }

    // Calls `v(ref)` for every reference the engine owns (GC support).
    template <class V>
    void visit(V&& v) {
        visit_kind(kind, v);
        v(default_value);
        v(value_type);
        v(default_factory);
        v(transform);
        rules.visit(v);
        dict_facts.visit(v);
    }
};

// The Python object of a spec: `{ PyObject_HEAD; BorrowFlag borrow;
// SpecEngine engine; }`. Kind classes add no instance state.
using SpecObject = py::Object<SpecEngine>;

// The class `SpecBase`, built on first use and shared process-wide
// (borrowed); null with an exception set when building it fails.
[[nodiscard]] PyTypeObject* spec_base_type();
// The class when already built, else null (no error set): no spec can exist
// before it is.
[[nodiscard]] PyTypeObject* spec_base_type_if_built() noexcept;

// Whether `obj` is a native spec: an instance of SpecBase or of a subclass
// (every kind class, and Python subclasses of Callable). Never fails.
[[nodiscard]] inline bool is_spec(PyObject* obj) noexcept {
    PyTypeObject* base = spec_base_type_if_built();
    return base && PyObject_TypeCheck(obj, base);
}

// The holds of a spec (py/hold.hpp): a read; a mutation, refused with the
// mutation-guard error; a function that takes each hold itself.
using SpecRead = py::Shared<SpecEngine>;
using SpecMutation = py::Exclusive<SpecEngine, py::Refuse::Mutation>;
using SpecScope = py::Scoped<SpecEngine>;

// A new instance of `type` (SpecBase or a subclass) holding `engine`, with a
// free borrow flag. Used by the kind constructors, copies, `from_json` and
// the temporary spec object of `build_base`. The engine is consumed even on
// failure.
[[nodiscard]] py::Ref wrap_engine(PyTypeObject* type, SpecEngine&& engine);

}  // namespace vesk::typing
