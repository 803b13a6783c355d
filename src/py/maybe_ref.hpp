// A reference that is owned, or borrowed from something that outlives every
// holder (a once-set cell, a record a read section keeps). On the
// free-threaded build a new reference to an object that another thread
// created is an atomic update of one cache line that every thread using
// the object shares; a long-lived object borrowed this way costs nothing.
// With the global lock the borrow saves one increment and one decrement.
#pragma once

#include "py/ref.hpp"

#include <utility>

namespace vesk::py {

class MaybeRef {
public:
    MaybeRef() noexcept = default;
    MaybeRef(Ref owned) noexcept : own_(std::move(owned)), p_(own_.get()) {}
    MaybeRef(const MaybeRef& other) noexcept : own_(other.own_), p_(other.p_) {}
    MaybeRef(MaybeRef&& other) noexcept
        : own_(std::move(other.own_)), p_(std::exchange(other.p_, nullptr)) {}
    MaybeRef& operator=(MaybeRef other) noexcept {
        own_.swap(other.own_);
        std::swap(p_, other.p_);
        return *this;
    }

    // `p` borrowed: the caller knows it outlives this holder.
    [[nodiscard]] static MaybeRef borrowed(PyObject* p) noexcept {
        MaybeRef r;
        r.p_ = p;
        return r;
    }

    [[nodiscard]] PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { *this = MaybeRef(); }
    // A new reference, for a holder that may outlive the lender.
    [[nodiscard]] Ref ref() const noexcept { return Ref::borrow(p_); }

private:
    Ref own_;
    PyObject* p_ = nullptr;
};

}  // namespace vesk::py
