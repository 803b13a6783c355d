// The text form of value specs: a short label followed by the spec's
// non-default items, laid out by the module's own `kvlist_str`.
//
// Kinds. The label, the items and the default list_wrap_threshold come from
// the kind's table (kind_ops.hpp); a kind whose `format_items` is common
// shows the five common items in their order.
//
// Items. The list handed to `kvlist_str` holds 3-tuples (key, value,
// omit-when); `kvlist_str` drops an item whose value equals its omit-when
// value, and writes an item with an empty key as its value alone. Five items
// are common to every kind (default, default_factory, noneable, frozen,
// strict); each kind lays them out in its own order with its own items in
// between, through `SpecItems`.
//
// The repr cache. Error messages quote the spec ("ValueSpec={}") on every
// rejection, so `repr` keeps the text of the kinds whose text depends on the
// engine alone (their table says `repr_cacheable`: Bool, Str, Int, Float) in
// the engine's repr cache, guarded by the cache's own lock. The lock is held
// only to read or swap the cached string, never while formatting runs Python
// code; two threads that miss together both format and the later store
// stays. Every exclusive hold of a spec empties the cache as it ends
// (`SpecEngine::changed`). The caller of `repr` holds the spec from the
// reads a text is made of to its store, so no change lands in between and
// the text stored is never older than the state: the store needs no version
// check. An Enum is not cached: its candidate list is handed out live and
// can change under the spec.
//
// Errors follow the interpreter's convention: a null Ref or false means an
// exception is set; nothing here throws. Formatting before the typing bridge
// is installed is the internal error "typing bridge not installed".
#pragma once

#include "py/ref.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"

#include <cstdint>
#include <optional>

namespace vesk::typing {

// The item list of one spec's text form, in the order the kind adds them.
class SpecItems {
public:
    // `list` is a new empty Python list; `missing_value` the typing bridge's
    // missing value (the omit-when value of "default"). Both borrowed.
    SpecItems(const SpecEngine& engine, PyObject* list, PyObject* missing_value) noexcept
        : engine_(engine), list_(list), missing_(missing_value) {}

    // Appends (key, value, omit_when); an empty key makes a positional item.
    // `value` null means None. Returns false with an exception set.
    [[nodiscard]] bool add(const char* key, PyObject* value, PyObject* omit_when);

    // The common items, each with its fixed omit-when value.
    [[nodiscard]] bool add_default();          // omitted when the missing value
    [[nodiscard]] bool add_default_factory();  // omitted when None
    [[nodiscard]] bool add_noneable();         // omitted when False
    [[nodiscard]] bool add_frozen();           // omitted when False
    [[nodiscard]] bool add_strict();           // True/False, None when unset; omitted when None

    [[nodiscard]] const SpecEngine& engine() const noexcept { return engine_; }
    [[nodiscard]] PyObject* missing_value() const noexcept { return missing_; }

private:
    const SpecEngine& engine_;
    PyObject* list_;
    PyObject* missing_;
};

// The spec's text form: `kvlist_str(items, label=..., compact=...,
// verbose=..., root_indent=..., [list_wrap_threshold=...])`. A Union always
// passes a threshold (20 when none is given); other kinds only a given one.
[[nodiscard]] py::Ref format(const SpecEngine& engine, bool compact, bool verbose,
                             std::int64_t root_indent,
                             std::optional<std::int64_t> list_wrap_threshold);

// The text that messages quote: `format(compact=True, verbose=True,
// root_indent=0, list_wrap_threshold=80)`, served from the repr cache for the
// cached kinds. A failed format caches nothing.
[[nodiscard]] py::Ref repr(const SpecEngine& engine);


}  // namespace vesk::typing
