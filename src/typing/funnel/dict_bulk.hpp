// DictBulk: the constant-key check of one Dict spec's schema, with which the
// Dict fast path and a Dict element rule accept a whole dict by one class
// test per constant key, and the dict key tests the schema roads share.
#pragma once

#include "py/ref.hpp"
#include "typing/funnel/elem_rule.hpp"
#include "typing/schema/schema.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace vesk::typing::funnel {

// The constant-key check of one Dict spec's schema, ready to test dicts:
// the native entries of an exactly native Schema (with the element rule of
// each List field derived now, from the spec as it is), or the tuple of
// (key, class) pairs any other schema offers as `_const_bulk_check`.
// Derived once per fast-path call and then used for every dict it meets.
class DictBulk {
public:
    // From `schema` (null or None: none). `out.usable()` is false when the
    // schema offers no check or a List field's spec cannot be decided by a
    // rule (frozen, transformed, or a slow element). The element lists the
    // List fields' rules read are added to `witness` when given (a caller
    // that caches the check keeps it). False with an exception set when a
    // read fails.
    [[nodiscard]] static bool derive(PyObject* schema, DictBulk& out,
                                     RuleWitness* witness = nullptr);

    // Whether the check was derived from a native schema's metadata and
    // every List field's element rule may be cached.
    [[nodiscard]] bool cacheable() const noexcept;
    // Copies what the check reads of the schema's metadata into the check
    // itself and lets the metadata go, so that a cached check shares no
    // record with the schema.
    void own_entries();
    // Hands every reference the check holds to `fn(ref, ctx)`.
    void visit(void (*fn)(const py::Ref&, const void*), const void* ctx) const;

    [[nodiscard]] bool usable() const noexcept { return pairs_ || meta_ || owned_; }
    // Whether a List field's element rule may call back into Python.
    [[nodiscard]] bool calls_back() const noexcept {
        for (const ListRule& lr : lists_)
            if (lr.rule.calls_back()) return true;
        return false;
    }

    // 1 when `value` is an exact dict that the check accepts whole, 0 when
    // not (a key that is not a str is never accepted), -1 with an exception
    // set when a lookup or an element test fails.
    [[nodiscard]] int matches(PyObject* value) const;

    // The check of the schema's (key, class) pairs alone, as the plain rules
    // read it: 1 when `value` is an exact dict of exactly those keys, each
    // value of exactly its class; 0 otherwise (no pairs: never); -1 error.
    [[nodiscard]] int plain_matches(PyObject* value) const;
    [[nodiscard]] bool has_plain() const noexcept { return static_cast<bool>(plain_pairs_); }
    // Whether `matches` takes exactly what the pairs alone take: the pairs
    // themselves, or native entries that add no None, check or list.
    [[nodiscard]] bool plain_only() const noexcept {
        return plain_pairs_ &&
               (pairs_ || (lists_.empty() && checks_.empty() && takes_none_.empty()));
    }
    // For a dict `matches` accepted: what the schema's own apply without
    // `inplace` gives, which is the dict itself where the pairs alone take
    // it (the dict's fast path does), else a new dict with the keys in the
    // schema's order and each List field's list settled (elem_rule.hpp,
    // `settle_list`). 0 with `out` set, -1 with an exception set.
    [[nodiscard]] int settle(PyObject* value, py::Ref& out) const;

    // For a dict `matches` refused: the result of the schema's own apply of
    // it with `inplace`, when each field's compiled record takes its value
    // by the pure leaf tier (unchanged, or an int widened to float with no
    // check left) or, for a List field, by the field's element rule; written
    // into the dict itself with `inplace`, else a new dict with the keys in
    // the schema's order (as that apply gives). 1 with `out` set, 0 when the
    // schema's apply must decide, -1 with an exception set. Only the native
    // entries of an exactly native Schema qualify. It reads field records
    // borrowed, so the caller is inside a `field::ReadSection`.
    [[nodiscard]] int convert(PyObject* value, bool inplace, py::Ref& out) const;

private:
    struct ListRule {
        std::int64_t min_size = 0;
        std::optional<std::int64_t> max_size;
        ElemRule rule;
    };
    // The constraint check of a checked entry's spec, taken from the spec as
    // it is when the check is derived: bounds that compare natively (exact
    // int or float), or a compiled pattern.
    struct Check {
        py::Ref spec;
        py::Ref min;
        py::Ref max;
        py::Ref regex;
    };
    // 1 when `v` passes the check, 0 when not; a comparison or match that
    // fails counts as not passing (the full apply then reports it).
    [[nodiscard]] static int passes(const Check& c, PyObject* v);
    [[nodiscard]] int match_entries(PyObject* value) const;
    [[nodiscard]] bool entry_takes(std::size_t i, const schema::BulkEntry& e,
                                   PyObject* v) const noexcept;

    // The metadata's constant entries and fields: in `meta_`, or, once
    // `own_entries` ran, in `entries_` and `fields_`.
    [[nodiscard]] const std::vector<schema::BulkEntry>& entries() const noexcept {
        return meta_ ? meta_->bulk : entries_;
    }
    [[nodiscard]] const std::vector<py::Ref>& fields() const noexcept {
        return meta_ ? meta_->const_fields : fields_;
    }

    py::Ref pairs_;
    // The (key, class) pairs the schema offers as `_const_bulk_check`, or null.
    py::Ref plain_pairs_;
    schema::SchemaMetaRef meta_;
    std::vector<schema::BulkEntry> entries_;
    std::vector<py::Ref> fields_;
    bool owned_ = false;
    bool lists_cacheable_ = true;
    std::vector<ListRule> lists_;  // one per entry with a List spec, in order
    std::vector<Check> checks_;    // one per entry with a check spec, in order
    std::vector<bool> takes_none_;  // per entry; empty when none takes None
    bool native_fields_ = false;    // every constant field is a native Field
};

// The constant-key check a schema precomputes: a tuple of (key, class) pairs,
// one per constant key in the schema's order, or nothing (`out` null) for
// None, a schema without one, or a value that is not a tuple. It is read as
// the schema's `_const_bulk_check` attribute; the native Schema answers it
// from its cached metadata. False with an exception set when the read fails.
[[nodiscard]] bool const_bulk_check(PyObject* schema, py::Ref& out);

// Whether every key of dict `d` (or subclass) is a str (subclasses count),
// and, when `size` is not negative, `d` has exactly `size` entries. Type
// tests only, under the dict's lock; runs no Python code.
[[nodiscard]] bool str_keys_only(PyObject* d, Py_ssize_t size = -1);

// The constant-key check itself over `value` (any object): 1 when it is an
// exact dict whose keys are all str, with exactly one entry per pair, each of
// exactly its class; 0 otherwise; -1 when taking a pair apart or a lookup
// fails.
[[nodiscard]] int const_keys_match(PyObject* pairs, PyObject* value);

}  // namespace vesk::typing::funnel
