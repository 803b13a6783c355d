// A State member holding a shared, immutable record that itself holds Python
// references: compiled metadata built once and then handed to any number of
// holders (other instances, callers in flight) by reference count.
//
// The record is one of the State's members for the cycle collector, counted
// only while this instance is its sole holder: a record also held elsewhere
// is counted by nobody rather than twice, so the collector never sees more
// references to an object than it has. The generated traverse (type.hpp)
// visits the record's references through its `visit`, in the State's own
// convention, and the generated clear drops this instance's reference:
//
//   struct Compiled {                       // built once, never changed
//       std::vector<py::Ref> classes;
//       py::Ref spec;
//       template <class V>
//       void visit(V&& v) const {
//           for (const py::Ref& c : classes) v(c);
//           v(spec);
//       }
//   };
//   struct State {
//       py::Ref name;
//       py::SharedRecord<Compiled> compiled;
//       template <class V>
//       void visit(V&& v) { v(name); v(compiled); }
//   };
//
// A record's `visit` may also hand on a nested record (`v(other_record)`) or
// call the `visit` of a member it owns alone.
//
// Readers copy the pointer out under the owner's hold and use the record
// without any lock; dropping the last reference releases Python objects, so
// it happens on an attached thread and outside any lock Python code may want.
#pragma once

#include "py/ref.hpp"

#include <memory>
#include <utility>

namespace vesk::py {

template <class T>
class SharedRecord {
public:
    using Pointer = std::shared_ptr<const T>;

    SharedRecord() noexcept = default;
    SharedRecord(Pointer p) noexcept : p_(std::move(p)) {}
    SharedRecord& operator=(Pointer p) noexcept {
        p_.swap(p);
        return *this;  // the replaced record is released with `p`
    }

    // The record for a new holder (a copy of the pointer).
    [[nodiscard]] const Pointer& get() const noexcept { return p_; }
    [[nodiscard]] const T* operator->() const noexcept { return p_.get(); }
    [[nodiscard]] const T& operator*() const noexcept { return *p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Moves the record out, leaving this member empty; the caller releases
    // it where that is safe.
    [[nodiscard]] Pointer take() noexcept { return std::exchange(p_, nullptr); }
    // Exchanges the record with `other`, so the replaced one can be released
    // after the owner's hold ends.
    void swap(Pointer& other) noexcept { p_.swap(other); }

    // For the cycle collector, which runs with every other thread stopped:
    // the record when this member is its only holder, else null.
    [[nodiscard]] const T* sole_unlocked() const noexcept {
        return p_ && p_.use_count() == 1 ? p_.get() : nullptr;
    }

private:
    Pointer p_;
};

}  // namespace vesk::py
