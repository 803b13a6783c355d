// ElementGuard: one answer for a whole container whose elements are applied
// one by one with the same element spec.
//
// A List, a variable Tuple or an open Dict applies many elements with one
// element spec. Each element's apply reads that spec (and the specs, fields
// and schemas nested in it) afresh, so a change made by another thread
// between two elements would make one answer out of old and new results.
// The guard prevents that in one of two ways:
//
// - Held. When the caller's loop runs no user code between elements (a
//   plain container read and written natively, no child transform, no
//   element test that reads the element through Python) and the element
//   spec is a native spec of exactly its kind's native class (a Python
//   subclass may run code of its own around the apply), the guard keeps the
//   spec's shared hold for the whole loop: a mutator meanwhile is refused,
//   as it is during the container's own apply. The caller then applies each
//   element through the held engine directly, as the spec's own `apply`
//   would, without a call by name.
// - Noted. Otherwise, and for everything nested below the element spec in
//   either case, the guard notes the version of every native spec and
//   schema and the record generation of every native field the element's
//   apply may read, before the first element; `verify` after the last one
//   finds them unchanged, or fails with the borrow error ("Already mutably
//   borrowed") that the apply would have met had the change come while it
//   held them. What was already written back stays, as after any failure
//   part-way through a container. No hold is kept while user code runs.
//
// Cost: one read of the process-wide change epoch before and after, and one
// short shared hold per noted object before the loop; `verify` compares
// versions only when the epoch moved. Nothing per element. At most
// `kMaxNoted` objects are noted (deep or self-referring specs stop there).
//
// Objects written in Python (specs, fields, schemas) and the Python lists
// a spec hands out as they are (a Tuple's element fields, a Union's
// candidates) have no version: their changes are not seen.
//
// Errors follow the interpreter's convention: false / -1 with an exception
// set.
#pragma once

#include "py/ref.hpp"
#include "typing/fast_types.hpp"
#include "typing/value_spec/engine/apply.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"

#include <array>
#include <cstdint>
#include <optional>

namespace vesk::typing {

class ElementGuard {
public:
    static constexpr int kMaxNoted = 48;

    ElementGuard() noexcept = default;
    ElementGuard(const ElementGuard&) = delete;
    ElementGuard& operator=(const ElementGuard&) = delete;

    // Notes `spec` (any object: the element spec, or a native Field whose
    // value spec is the element spec) and what is nested in it; when
    // `quiet` and `spec` is a native spec of its exact native class, keeps
    // its shared hold until `release`. False with the borrow error when a
    // noted object is being changed right now.
    [[nodiscard]] bool begin(PyObject* spec, bool quiet);
    // Notes one more object (another position's field of a fixed Tuple).
    [[nodiscard]] bool note(PyObject* obj);

    // The held element spec's engine, or null when it is not held.
    [[nodiscard]] const SpecEngine* held() const noexcept { return hold_ ? &**hold_ : nullptr; }
    [[nodiscard]] PyObject* held_spec() const noexcept { return hold_ ? hold_->object() : nullptr; }
    // Whether the held spec is a plain scalar leaf (bool, number or str,
    // without transform, not frozen): its apply reads the path only to
    // word a refusal and runs no user code, so it can run without one.
    [[nodiscard]] bool held_leaf() const noexcept { return hold_ && leaf_; }
    // The change epoch read before anything was noted.
    [[nodiscard]] std::uint64_t epoch() const noexcept { return epoch_; }

    // Ends the hold early (before a call that may run user code); `verify`
    // then reads the element spec again.
    void release() noexcept {
        hold_.reset();
        leaf_ = false;
    }

    // 0 when nothing noted changed since `begin`, -1 with the borrow error
    // set when something did (or is being changed right now).
    [[nodiscard]] int verify();

private:
    enum class What : std::uint8_t { Spec, Schema, Field };
    struct Noted {
        py::Ref obj;
        std::uint64_t version = 0;
        What what = What::Spec;
    };

    [[nodiscard]] bool walk(PyObject* obj, std::optional<SpecRead>* keep);
    void add(PyObject* obj, std::uint64_t version, What what);

    std::optional<SpecRead> hold_;
    std::array<Noted, kMaxNoted> noted_{};
    int count_ = 0;
    std::uint64_t epoch_ = 0;
    bool begun_ = false;
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
    if (guard.held_leaf() &&
        (element == Py_None ||
         is_primitive_value_type(reinterpret_cast<PyObject*>(Py_TYPE(element))))) {
        if (py::Ref done = apply_held_element(guard, element, options, nullptr)) return done;
        PyErr_Clear();
    }
    py::Ref path = make_path();
    if (!path) return {};
    return apply_held_element(guard, element, options, path.get());
}

}  // namespace vesk::typing
