// Owning reference to a Python object: the only place where reference
// counts are adjusted by hand.
#pragma once

#include "py/python.hpp"

#include <utility>

namespace vesk::py {

class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}

    // Take over a new reference (a C API return value); null stays null.
    [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Make a new strong reference to a borrowed pointer; null stays null.
    [[nodiscard]] static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(const Ref& other) noexcept {
        Ref tmp(other);
        swap(tmp);
        return *this;
    }
    Ref& operator=(Ref&& other) noexcept {
        Ref tmp(std::move(other));
        swap(tmp);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    [[nodiscard]] PyObject* get() const noexcept { return p_; }
    // Hand the reference to the caller (typically to return it to Python).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& other) noexcept { std::swap(p_, other.p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    [[nodiscard]] PyTypeObject* type() const noexcept { return Py_TYPE(p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A new reference to a borrowed object, for returning it to the interpreter.
[[nodiscard]] inline PyObject* new_ref(PyObject* p) noexcept {
    return Ref::borrow(p).release();
}

// The class of `obj`, borrowed, as an object: for identity tests against a
// class held as an object and for calls that take one.
[[nodiscard]] inline PyObject* class_of(PyObject* obj) noexcept {
    return reinterpret_cast<PyObject*>(Py_TYPE(obj));
}

[[nodiscard]] inline PyObject* none() noexcept { return new_ref(Py_None); }
[[nodiscard]] inline PyObject* boolean(bool b) noexcept {
    return new_ref(b ? Py_True : Py_False);
}
[[nodiscard]] inline PyObject* not_implemented() noexcept {
    return new_ref(Py_NotImplemented);
}

}  // namespace vesk::py
