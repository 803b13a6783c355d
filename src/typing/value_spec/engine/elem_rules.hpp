// The element rules a spec's engine keeps (`RuleCache` in spec_engine.hpp):
// what a rule is (`ElemRule`, `TupleRule`) and a rule kept with the epoch and
// witness it was derived under (`CompiledRule`). Deriving and matching them
// is the funnel's (typing/funnel/elem_rule.hpp); the engine, below the
// funnel, holds only these.
//
// Ownership: the payload is an owned reference released with the rule. The
// constant-key check of a Dict element lives in typing/funnel/dict_bulk.hpp.
#pragma once

#include "py/ref.hpp"
#include "typing/value_spec/engine/rule_witness.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

namespace vesk::typing::funnel {

class DictBulk;
struct ElemRule;

struct ElemRule {
    enum class Kind : std::uint8_t {
        // Never matches: the caller declines at once.
        Slow,
        // `type(element) is payload` (or the element is None, with
        // `allow_none`).
        ExactType,
        // `type(element)` is one of the classes of the tuple `payload` (a
        // Union whose type map sends them to exact-leaf candidates), or the
        // element is None, with `allow_none`.
        ExactTypes,
        // An exact tuple whose items match the rules of `tuple`.
        Tuple,
        // An exact list within the bounds of `tuple` (its `list` form) whose
        // items all match its one element rule.
        List,
        // `type(element) is payload`, and the element is not a partial
        // symbolic value (read only when its class carries the marker).
        ObjectCandidate,
        // None, or an exact int, str, float, bool, NoneType, bytes, tuple,
        // set, frozenset; with `allow_containers`, an exact dict or list.
        AcceptAny,
        // An exact dict whose keys are all str, with one entry per constant
        // key of `bulk`, each value of exactly its class (and a list field's
        // elements accepted by its element rule).
        ConstKeyDict,
        // `type(element) is payload` (exactly int or float, from a bounded
        // native Int or Float) and within the bounds `min` and `max` (each an
        // exact int or float, or absent), compared natively.
        Bounded,
    };

    Kind kind = Kind::Slow;
    py::Ref payload;
    py::Ref min;  // Bounded only
    py::Ref max;  // Bounded only
    std::shared_ptr<const DictBulk> bulk;         // ConstKeyDict only
    std::shared_ptr<const struct TupleRule> tuple;  // Tuple and List
    bool allow_containers = false;
    // A noneable spec (not frozen, without transform) takes None as it is.
    bool allow_none = false;
    // ConstKeyDict: a List field's element rule calls back.
    bool bulk_calls_back = false;
    // ExactType of `float` from a native Float spec that is not strict: an
    // exact int is applied into `float(int)` (see `convert`).
    bool widen_int = false;
    // Derived from native engine state and what its witness answers for
    // (see Caching above).
    bool cacheable = false;

    // Hands every reference the rule holds to `v`. Only for a cacheable
    // rule, whose parts (dict checks included) are its own.
    template <class V>
    void visit(V&& v) const;

    // Whether matching runs no Python code (identity tests only), so a list
    // may be scanned under its lock in one go.
    [[nodiscard]] bool pure() const noexcept;
    // Whether matching may call back into Python code that reads the
    // element (an object's partial state), here or in a nested rule.
    [[nodiscard]] bool calls_back() const noexcept;
    // 1 matches, 0 does not, -1 with an exception set. Never call it on the
    // slow rule (it answers 0).
    [[nodiscard]] int matches(PyObject* value) const;
    // `matches` with the exact-class test inlined: for loops that run it per
    // element, where the call itself would cost as much as the test.
    [[nodiscard]] int matches_inline(PyObject* value) const {
        if (kind == Kind::ExactType)
            return reinterpret_cast<PyObject*>(Py_TYPE(value)) == payload.get() ||
                   (allow_none && value == Py_None);
        return matches(value);
    }
    // Whether what this rule accepts may hold a list or dict that the full
    // road copies when it applies without `inplace` (see `settle_item`).
    [[nodiscard]] bool needs_copy() const noexcept;
    // Whether this rule matches exactly what the plain rule of its spec
    // matches (nothing beyond it was added).
    [[nodiscard]] bool plain_only() const noexcept;
    // Whether the plain rules alone give a rule (not the slow one) for the
    // spec this rule was derived from.
    [[nodiscard]] bool has_plain() const noexcept;
    // The match of the plain rules alone (an exact class, accept any, an
    // object candidate, a dict's constant keys of exact classes): where it
    // holds, the full road's own fast path takes the value as it is. 1, 0,
    // or -1 with an exception set.
    [[nodiscard]] int plain_matches(PyObject* value) const;
    // For an element that does not match: whether its apply is decided
    // natively all the same, into a new value that the apply would give
    // (an int widened to float; a dict whose fields only need widening,
    // built or written as the dict's own apply with `inplace` would). 1 with
    // `out` set, 0 when the full apply must decide, -1 with an exception set.
    // Runs no Python code beyond the key comparisons of a dict lookup. A
    // dict rule reads field records borrowed: the caller is inside a
    // `field::ReadSection`.
    [[nodiscard]] int convert(PyObject* value, bool inplace, py::Ref& out) const;
};

// The rules of a Tuple element spec: one per position of a fixed tuple, or
// the one element rule of a variable tuple with its size bounds; the same
// form (`list` set, never fixed) for a List element spec.
struct TupleRule {
    std::vector<ElemRule> positions;
    bool fixed = true;
    bool list = false;
    std::int64_t min_size = 0;
    std::optional<std::int64_t> max_size;
    bool pure = true;  // every position rule is pure

    // Whether a container of `n` items has this rule's shape: the fixed
    // length, or a size within the bounds.
    [[nodiscard]] bool fits(Py_ssize_t n) const noexcept {
        if (fixed) return n == static_cast<Py_ssize_t>(positions.size());
        return n >= min_size && (!max_size || n <= *max_size);
    }
    // The rule of item `i` (of a container that fits).
    [[nodiscard]] const ElemRule& at(Py_ssize_t i) const noexcept {
        return fixed ? positions[static_cast<std::size_t>(i)] : positions.front();
    }
    // Every position rule is an exact-class test (ExactType): a list of such
    // tuples is scanned with the tests inlined.
    bool exact_only = true;
};

// Hands every reference a dict check holds to `fn(ref, ctx)` (dict_bulk.cpp).
void visit_bulk(const DictBulk& bulk, void (*fn)(const py::Ref&, const void*), const void* ctx);

// The nested parts (`tuple`, `bulk`) are shared, not copied, when a rule is
// copied out of its cache: a reader's copy may outlive the cached rule. The
// collector is shown them only while this rule is their sole holder, else it
// would count the references they hold as owned by the spec and could find
// them garbage while the reader still uses them.
template <class V>
void ElemRule::visit(V&& v) const {
    v(payload);
    v(min);
    v(max);
    if (tuple && tuple.use_count() == 1)
        for (const ElemRule& r : tuple->positions) r.visit(v);
    if (bulk && bulk.use_count() == 1) {
        using Visitor = std::remove_reference_t<V>;
        visit_bulk(
            *bulk, [](const py::Ref& r, const void* ctx) { (*static_cast<const Visitor*>(ctx))(r); },
            &v);
    }
}

// A rule kept in its spec's engine, with the epoch it was derived in and
// the witness of the element lists it read.
struct CompiledRule {
    ElemRule rule;
    RuleWitness witness;
    std::uint64_t epoch = 0;

    template <class V>
    void visit(V&& v) const {
        rule.visit(v);
        witness.visit(v);
    }
};

inline bool ElemRule::calls_back() const noexcept {
    if (kind == Kind::ObjectCandidate) return true;
    if (kind == Kind::Tuple || kind == Kind::List)
        for (const ElemRule& r : tuple->positions)
            if (r.calls_back()) return true;
    return kind == Kind::ConstKeyDict && bulk_calls_back;
}

// A List rule is never pure: its items are read under the inner list's own
// lock, which must not be taken while an outer list's is held.
inline bool ElemRule::pure() const noexcept {
    return kind == Kind::ExactType || kind == Kind::ExactTypes || kind == Kind::AcceptAny ||
           kind == Kind::Bounded ||
           (kind == Kind::Tuple && tuple->pure);
}

}  // namespace vesk::typing::funnel
