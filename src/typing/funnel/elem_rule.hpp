// ElemRule: a small check derived from an element value spec that proves an
// element needs no apply. The container fast paths ask `elem_rule` for it
// once per call and hold their copy only while they scan.
//
// Caching. A native spec keeps the rules derived from it in its engine
// (`RuleCache`), tagged with the change epoch read before the derivation
// (typing/change_epoch.hpp) and used only while the epoch still reads the
// same, so a change to the spec or to any spec or schema nested in it drops
// them. Only rules derived from native engine state, a native schema's
// compiled metadata, and the Union type maps and Tuple element lists that a
// `RuleWitness` answers for are kept: a rule that read another object Python
// code may change without any spec noticing (a spec, field or schema written
// in Python, a forward reference) is derived again on every call. A kept rule
// owns all its parts (a dict check holds copies of the metadata it reads, and
// nested rules are derived afresh), so the cycle collector counts each
// reference once, through the spec.
//
// A rule never raises a validation error: a mismatch is an answer, and the
// caller then takes the full apply, which reports any real violation. Only
// the lookups the rule itself makes (the funnel classifications, the
// partial-state read of an object candidate, a constant key's dictionary
// lookup, iteration) can fail; they return -1 / false with the exception set.
//
// The rule types themselves sit below the funnel, in the engine that keeps
// them (typing/value_spec/engine/elem_rules.hpp). The constant-key check of
// a Dict element lives in dict_bulk.hpp.
#pragma once

#include "py/ref.hpp"
#include "typing/value_spec/engine/elem_rules.hpp"

namespace vesk::typing::funnel {

// The value spec of an element field: a native Field's stored spec (read
// under its shared borrow), any other field's `value`.
[[nodiscard]] py::Ref element_spec(PyObject* field);

// The rule of element spec `spec` (any object). `allow_containers` lets exact
// dicts and lists count for Any and a Dict element use its schema's
// constant-key check; the fast paths set it when no child transform is in
// force. A native spec's cached rule when it is current. False with an
// exception set on failure.
[[nodiscard]] bool elem_rule(PyObject* spec, bool allow_containers, ElemRule& out);

// The rule of `spec` derived afresh, never taken from or stored in a cache:
// for a rule that becomes part of another, which must share nothing with a
// cached one. The element lists it reads are added to `witness`, which a
// caller that may cache the rule keeps with it.
[[nodiscard]] bool derive_elem_rule(PyObject* spec, bool allow_containers, ElemRule& out,
                                    RuleWitness& witness);

// Every item of `container` matches `rule`: 1 yes, 0 no (at the first
// mismatch, or for the slow rule), -1 error. An exact list is read under its
// lock (in one go for a pure rule; otherwise item by item, released before
// the item is tested, since the test may run Python code and the list may
// change between items); an exact tuple directly; anything else through the
// iteration protocol.
[[nodiscard]] int all_match(const ElemRule& rule, PyObject* container);

// Like `all_match` over an exact list, reporting where it stopped: 1 when
// every item matches, 0 with `at` the first item that does not, -1 error.
[[nodiscard]] int first_mismatch(const ElemRule& rule, PyObject* list, Py_ssize_t& at);

// What the full road gives, applying without `inplace`, for what `rule`
// accepted: the value itself where the plain rules take it whole (the full
// road's fast path does), else a new list or dict at every level the full
// road copies, holding the same items where it keeps them. A tuple stays as
// it is unless an item must be copied. 0 with `out` set, -1 with an
// exception set. `settle_list` is for an exact list every item of which
// matched `rule`; `settle_item` for one item that matched it.
[[nodiscard]] int settle_list(const ElemRule& rule, PyObject* list, py::Ref& out);
[[nodiscard]] int settle_item(const ElemRule& rule, PyObject* item, py::Ref& out);

// `elem_rule(spec, allow_containers)` then `all_match` over `container`.
[[nodiscard]] int elements_all_match(PyObject* spec, PyObject* container, bool allow_containers);

}  // namespace vesk::typing::funnel
