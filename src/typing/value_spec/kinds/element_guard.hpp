// ElementGuard: the hold of the element spec of a container applied element
// by element (a List, a variable Tuple, an open Dict).
//
// Each element is applied as the element spec's own `apply` would apply it,
// reading the spec as it is then. Where the caller's loop runs no user code
// between elements (a plain container read and written natively, no child
// transform, no element test that reads the element through Python) and the
// element spec is a native spec of exactly its kind's native class (a Python
// subclass may run code of its own around the apply), the guard keeps the
// spec's shared hold across the elements, and the caller applies each one
// through the held engine directly, without a call by name: nothing can
// change the spec in between, and a mutator meanwhile is refused as it is
// during the spec's own apply.
//
// An element whose apply may run user code (a `custom_apply`, a transform,
// a nested apply by name) is followed by `refresh`: the hold is let go and
// taken again, so the next element sees any change made meanwhile, by that
// code or by another thread, as a fresh `apply` by name would. Everywhere
// else no hold is kept and each element is applied by name.
//
// Errors follow the interpreter's convention: false with an exception set.
#pragma once

#include "py/ref.hpp"
#include "typing/fast_types.hpp"
#include "typing/value_spec/engine/apply.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"

#include <cstdint>
#include <optional>

namespace vesk::typing {

class ElementGuard {
public:
    ElementGuard() noexcept = default;
    ElementGuard(const ElementGuard&) = delete;
    ElementGuard& operator=(const ElementGuard&) = delete;

    // When `quiet` and `spec` (borrowed; the caller keeps it alive) is a
    // native spec of its exact native class, takes its shared hold. False
    // with the borrow error when the spec is being changed right now.
    [[nodiscard]] bool begin(PyObject* spec, bool quiet);

    // The held element spec's engine, or null when it is not held.
    [[nodiscard]] const SpecEngine* held() const noexcept { return hold_ ? &**hold_ : nullptr; }
    [[nodiscard]] PyObject* held_spec() const noexcept { return hold_ ? hold_->object() : nullptr; }
    // Whether the held spec is a plain scalar leaf (bool, number or str,
    // without transform, not frozen): its apply reads the path only to
    // word a refusal and runs no user code, so it can run without one.
    [[nodiscard]] bool held_leaf() const noexcept { return hold_ && leaf_; }
    // The change epoch read before the hold was taken.
    [[nodiscard]] std::uint64_t epoch() const noexcept { return epoch_; }

    // Ends the hold for good (before a loop that runs user code between
    // elements).
    void release() noexcept {
        hold_.reset();
        leaf_ = false;
    }
    // After an element whose apply may have run user code: takes the hold
    // again, on the spec as it is now. False with the borrow error when the
    // spec is being changed right now.
    [[nodiscard]] bool refresh();
    // Whether applying `element` through the held spec runs no user code:
    // an exact scalar (or None) given to a held scalar leaf.
    [[nodiscard]] bool quiet_for(PyObject* element) const noexcept {
        return held_leaf() &&
               (element == Py_None ||
                is_primitive_value_type(reinterpret_cast<PyObject*>(Py_TYPE(element))));
    }

private:
    [[nodiscard]] bool take();

    std::optional<SpecRead> hold_;
    PyObject* spec_ = nullptr;
    std::uint64_t epoch_ = 0;
    bool leaf_ = false;
};

// `spec.apply(element, allow_partial=, inplace=, root_path=path)` for the
// element spec the guard holds, run on its engine directly: what the spec's
// own `apply` does, without the call by name (its class is exactly the
// native one, whose `apply` cannot be replaced).
[[nodiscard]] py::Ref apply_held_element(const ElementGuard& guard, PyObject* element,
                                         const ApplyOptions& options, PyObject* path);

// The same, with the element's path made by `make_path()` (a py::Ref, null
// with an exception set) only when it is read. An exact scalar given to a
// held scalar leaf is applied without a path first (nothing but a refusal's
// message reads it there); only a refusal is run again with the path, for
// its message, so valid elements never build or render one.
template <class MakePath>
[[nodiscard]] py::Ref apply_held_element_lazily(const ElementGuard& guard, PyObject* element,
                                                const ApplyOptions& options,
                                                MakePath&& make_path) {
    // Only an exact scalar: any other value may carry a `custom_apply` of
    // its own, which is handed the path, or be the missing value, whose
    // apply may take it.
    if (guard.quiet_for(element)) {
        if (py::Ref done = apply_held_element(guard, element, options, nullptr)) return done;
        PyErr_Clear();
    }
    py::Ref path = make_path();
    if (!path) return {};
    return apply_held_element(guard, element, options, path.get());
}

}  // namespace vesk::typing
