// The steps of the construction core (construct.cpp) that live in files of
// their own: keyword screening, adoption of the children, the construction
// hooks with the abstractness test, and the pure-symbolic scan. Each returns
// 0, or -1 with an exception set, unless it says otherwise.
#pragma once

#include "symbolic/object_bridge.hpp"
#include "symbolic/object/ctor_meta.hpp"

#include <cstdint>

namespace vesk::symbolic::object {

// Refuses the keywords of `kwargs` (a dict) that the class does not accept,
// unless it ignores them (`__extra_ignore__`), and the keywords reserved as
// aliases of its fields. `to_validate` gets the keyword dict that validation
// is to see: `kwargs` itself, or a copy without the ignored keywords.
[[nodiscard]] int screen_keywords(PyObject* cls, const CtorMeta& meta, PyObject* kwargs,
                                  py::Ref& to_validate);

// `topo` classes: the adoption pass, then the parenting pass, over the
// object's field dictionary `fields`.
[[nodiscard]] int adopt_children(PyObject* self, PyObject* fields, const ObjectBridge& b);

// The parenting pass's step for the child `value` of `owner` (an object or
// a record) under `key`, once the adoption pass has stamped its path: the
// child gets `owner` as parent unless it keeps the place it has (below).
[[nodiscard]] int parent_child(PyObject* owner, PyObject* key, PyObject* value);

// `topo=False` classes: symbolic values lose the path that an earlier
// placement under this object left on them.
[[nodiscard]] int unstamp_children(PyObject* self, PyObject* fields, const ObjectBridge& b);

struct HookInputs {
    bool validate_wanted = false;  // `on_sym_validate` overridden and not a clone
    bool all_plain = false;        // no field value can make the object abstract
};

// `on_sym_validate`, `on_sym_post_init` or `on_sym_bound` and `on_sym_ready`.
[[nodiscard]] int run_hooks(PyObject* self, const CtorMeta& meta, const HookInputs& in);

enum class Scan : std::uint8_t { Error, No, Yes, Undecided };

// Whether `value` is pure symbolic as far as native code can tell; each
// level of nesting is guarded against unbounded recursion.
[[nodiscard]] Scan pure_symbolic_scan(PyObject* value);

}  // namespace vesk::symbolic::object
