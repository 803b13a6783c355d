// RuleWitness: what a cached acceptance rule read that Python code may change
// without any spec, field or schema noticing, checked once each time the
// cached rule is taken (once per container, never per element).
//
// Two such objects feed rules, and both are handed out to Python as they are:
//  - a Union's type map (a dict). It is watched: any change to a watched map
//    moves the change epoch on, as a change of a spec does, so nothing needs
//    checking when the rule is taken.
//  - a Tuple's list of element fields. Lists cannot be watched, so the
//    witness keeps the list and the fields it held when the rule was derived,
//    and the rule is used only while the list holds the very same fields. A
//    field's own spec is covered by the epoch (a change to a field moves it).
//    The fields are held, not merely remembered by address: a field dropped
//    from the list and freed could otherwise be replaced by a new one at the
//    same address.
#pragma once

#include "py/ref.hpp"

#include <vector>

namespace vesk::typing::funnel {

struct RuleWitness {
    struct ListSnapshot {
        py::Ref list;
        std::vector<py::Ref> items;
    };
    std::vector<ListSnapshot> lists;

    // Whether every list still holds exactly the items it held. Identity
    // tests under each list's lock; runs no Python code.
    [[nodiscard]] bool holds() const noexcept;

    // Hands every reference the witness holds to `v`.
    template <class V>
    void visit(V&& v) const {
        for (const ListSnapshot& s : lists) {
            v(s.list);
            for (const py::Ref& item : s.items) v(item);
        }
    }
};

// The items of `list` now, taken in one go under its lock.
[[nodiscard]] std::vector<py::Ref> list_snapshot(PyObject* list);

// Makes every later change to `type_map` (an exact dict) move the change
// epoch on. False (no exception set) when the interpreter has no watcher to
// spare: a rule derived from the map must then not be cached.
[[nodiscard]] bool watch_type_map(PyObject* type_map) noexcept;

}  // namespace vesk::typing::funnel
