// The container fast paths: whether a whole list, tuple or dict already
// satisfies a List, Tuple or Dict spec, decided with one class test per
// element and no Python-level apply. They answer accepted (the container
// itself, never changed; or, without `inplace`, where a rule beyond the
// plain ones took it, the copies the full apply would make), undecided (the
// full apply runs and produces every message), or an error from a lookup
// that had to run; they never change a result.
//
// Callers: the apply driver's shortcut phase (`container_shortcut`, after the
// kind's own shortcut entry has settled the options) and the funnel for a
// container field value. Both hold the spec shared, so the engine read here
// is stable; element fields and schemas are held only for their reads.
#pragma once

#include "py/ref.hpp"
#include "typing/funnel/elem_rule.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"

namespace vesk::typing::funnel {

// List and Tuple. `child_transform` may be null; `allow` lets exact dict and
// list elements count for an Any element (true when no child transform is in
// force). Anything but a plain List or Tuple engine is undecided.
[[nodiscard]] Shortcut container_fast_path(const SpecEngine& engine, PyObject* value,
                                           PyObject* child_transform, bool allow, bool inplace,
                                           py::Ref& out);

// Dict, with the payload's `schema` (None for no schema) and
// `open_str_value_spec` (null for none): an exact dict matching the schema's
// constant-key check, or whose keys are all exact str with values matching
// the open value spec's rule, is accepted; no schema and no open value spec
// accepts any exact dict.
[[nodiscard]] Shortcut dict_fast_path(const SpecEngine& engine, PyObject* schema,
                                      PyObject* open_spec, PyObject* value,
                                      PyObject* child_transform, bool allow, bool inplace,
                                      py::Ref& out);

// The driver's hook: runs the fast path of a List, Tuple or Dict engine with
// the options as the kind left them (a List or Dict without auto_wrap has
// already dropped its child transform). `spec` (null when the apply has no
// spec object) must be exactly the kind's native class: a subclass written
// in Python may change what apply means, so it always takes the full road.
// Other kinds: undecided.
[[nodiscard]] Shortcut container_shortcut(const SpecEngine& engine, PyObject* spec,
                                          PyObject* value, const ApplyOptions& options,
                                          py::Ref& out);

// The List kind's own shortcut: `container_shortcut`, and, when an exact
// list without a child transform is declined at element k, the proof that
// its first k elements need no apply, left in `options` for the per-kind
// apply to start after them.
[[nodiscard]] Shortcut list_shortcut(const SpecEngine& engine, PyObject* spec, PyObject* value,
                                     ApplyOptions& options, py::Ref& out);

// The Dict kind's own shortcut: `container_shortcut`, and, for an exact dict
// it declines, without a child transform, the native apply of a dict whose
// constant fields only need an int widened to float (as its schema's own
// apply with `inplace` gives it).
[[nodiscard]] Shortcut dict_shortcut(const SpecEngine& engine, PyObject* spec, PyObject* value,
                                     ApplyOptions& options, py::Ref& out);

// The element rule with which a List's per-kind apply skips and converts
// elements natively: derived from the element spec when no child transform
// is in force and the shortcuts are on; otherwise the slow rule. False with
// an exception set.
[[nodiscard]] bool list_element_rule(const ListKind& list, const ApplyOptions& options,
                                     ElemRule& out);

}  // namespace vesk::typing::funnel
