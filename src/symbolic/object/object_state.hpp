// The class `SymObject`: the native base of every symbolic object. Its
// State holds the object's field dictionary (field name -> stored value, for
// every symbolic field) and its node state. An object whose field dictionary
// is absent is blank: made by `cls.__new__(cls)` without construction, or
// cleared by the collector.
//
// The State is read under the instance's shared hold and written under its
// exclusive hold (py/hold.hpp); no hold is kept while Python code runs, so
// one that meets another thread's is waited out for a moment. The
// field dictionary is a plain dict, read one entry at a time under its own
// lock.
#pragma once

#include "py/ref.hpp"
#include "symbolic/checked_change.hpp"
#include "symbolic/claim.hpp"
#include "symbolic/classes.hpp"
#include "symbolic/container/state.hpp"
#include "symbolic/momentary.hpp"
#include "symbolic/node.hpp"

#include <atomic>
#include <cstdint>

namespace vesk::symbolic::object {

struct ObjectState {
    // Every hold of the State lasts a few loads and stores: a read that
    // meets another thread's seal, flag, placement or let-go storing at
    // that moment waits it out rather than failing (py/hold.hpp).
    static constexpr bool kMomentaryHolds = true;

    py::Ref fields;  // the field dictionary (a dict); null: a blank object
    SymNode node;
    // How many times what a field write checks its permission against has
    // changed: the sealed, allow_partial and accessor_writable flags as a
    // seal, a setter or a construction run again sets them. As a
    // container's count (container/state.hpp): a write compares it under
    // its claims, and a plain store in the field dictionary's critical
    // section, in which every change moves it on, so a write that read the
    // flags before a change never stores after it.
    std::atomic<std::uint32_t> rebinds{0};
    // The thread of a construction run again on the live object, which
    // holds it whole (construct/live_rebuild.hpp): another thread's write
    // meeting it is refused at once, as one meeting a container's pass.
    SortMark sorting;

    // Under the exclusive hold that changed a flag (every writer of the
    // count holds it), in the field dictionary's critical section.
    void spec_replaced() noexcept {
        rebinds.store(rebinds.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    [[nodiscard]] std::uint32_t binding() const noexcept {
        return rebinds.load(std::memory_order_relaxed);
    }

    template <class V>
    void visit(V&& v) {
        v(fields);
        node.visit(v);
    }
};

// What the blank-object guard refuses: no field dictionary, and no path
// either (construction sets the path before it fills the fields).
[[nodiscard]] inline bool is_blank(const ObjectState& s) noexcept {
    return !s.fields && !s.node.path;
}

// `sym_object_type()` and `is_sym_object(obj)` are declared with the other
// native classes, in symbolic/classes.hpp.

// --- operations of the object layer (`obj` must be a SymObject) --------------

// The field dictionary (null for a blank object) in `out`; false when the
// object is held for a write.
[[nodiscard]] bool inline_storage(PyObject* obj, py::Ref& out);

// The blank-object guard: passes when the field dictionary is present, or
// only the path (construction sets the path first); otherwise ValueError
// "{}.__init__ should call `super().__init__`.". 0 or -1.
[[nodiscard]] int node_read_guard(PyObject* obj);

// ValueError "{type name}.__init__ should call `super().__init__`.": an
// instance allocated but never constructed.
void raise_not_initialised(PyObject* obj);

// Re-paths the field values that keep a tree under `new_path`: each
// topology-aware value whose lenient topology flag is set gets
// `topo_setpath(child_key_path(key, new_path))`. Nothing for a blank
// object. 0 or -1.
[[nodiscard]] int update_children_paths_native(PyObject* obj, PyObject* new_path);

// `_topo_field(name)`: the raw field value, an inferential one resolved
// (its `infer()` under a topo=True class, the contextual-attribute error
// under topo=False). A blank object raises AttributeError "_sym_attributes",
// a name not in the fields KeyError(name).
[[nodiscard]] py::Ref topo_field(PyObject* obj, PyObject* name);

// Changes what the object's field writes check (its flags; a construction
// run again, its whole node state) under its exclusive claim in `claims`, as
// a container's are changed (symbolic/checked_change.hpp): in the critical
// section of the field dictionary it has then (the object's own while it is
// blank), which the claim keeps from being replaced meanwhile. 0 or -1.
template <class F>
[[nodiscard]] int change_flags(ClaimScope& claims, PyObject* obj, F&& change) {
    py::Ref fields;
    if (claims.exclusive(obj) < 0 ||
        past_momentary_holds([&] { return inline_storage(obj, fields) ? 0 : -1; }) < 0)
        return -1;
    return change_checked<ObjectState>(claims, obj, fields ? fields.get() : obj,
                                       static_cast<F&&>(change));
}

// `_sym_attributes`: a new SymDict view of the fields (the object bridge's
// `dict_cls`), parented to the object and never kept by it. A blank object
// raises AttributeError "'{}' object has no attribute '_sym_attributes'".
[[nodiscard]] py::Ref sym_attributes(PyObject* obj);

}  // namespace vesk::symbolic::object
