// One step of a key path. Strings and 64-bit integers, the two common kinds,
// are held natively so that paths can be copied, compared, ordered and
// rendered without calling into the interpreter; every other key keeps its
// Python object.
#pragma once

#include "py/ref.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vesk::topology {

// Immutable UTF-8 text shared between copies through an atomic reference
// count, so copying a string key is one increment and any thread may copy or
// drop it without a lock. Allocation failure throws std::bad_alloc.
class Text {
public:
    explicit Text(std::string_view s);
    Text(const Text& other) noexcept : buf_(other.buf_) { retain(); }
    Text(Text&& other) noexcept : buf_(other.buf_) { other.buf_ = nullptr; }
    Text& operator=(const Text& other) noexcept {
        Text tmp(other);
        std::swap(buf_, tmp.buf_);
        return *this;
    }
    Text& operator=(Text&& other) noexcept {
        std::swap(buf_, other.buf_);
        return *this;
    }
    ~Text() { release(); }

    [[nodiscard]] std::string_view view() const noexcept {
        return buf_ ? std::string_view(data(), buf_->size) : std::string_view();
    }

private:
    struct Header {
        std::atomic<std::size_t> refs;
        std::size_t size;
    };
    [[nodiscard]] const char* data() const noexcept {
        return reinterpret_cast<const char*>(buf_ + 1);
    }
    void retain() noexcept {
        if (buf_) buf_->refs.fetch_add(1, std::memory_order_relaxed);
    }
    void release() noexcept;

    Header* buf_ = nullptr;
};

// Operator code of ordered key comparison.
enum class CmpOp : std::uint8_t { Lt = 0, Le = 1, Gt = 2, Ge = 3, Eq = 4 };

class Key {
public:
    enum class Kind : std::uint8_t { Str = 0, Int = 1, Other = 2 };

    // Conversion from a Python value; never fails (a str that cannot be
    // encoded as UTF-8, a bool and an int beyond 64 bits stay Other). Only
    // memory exhaustion throws std::bad_alloc.
    [[nodiscard]] static Key from_py(PyObject* value);

    [[nodiscard]] static Key str(std::string_view text) { return Key(Text(text)); }
    [[nodiscard]] static Key integer(std::int64_t n) noexcept { return Key(n); }
    // `object` must not be null.
    [[nodiscard]] static Key other(py::Ref object) noexcept { return Key(std::move(object)); }

    [[nodiscard]] Kind kind() const noexcept { return static_cast<Kind>(v_.index()); }
    [[nodiscard]] bool is_str() const noexcept { return kind() == Kind::Str; }
    [[nodiscard]] bool is_int() const noexcept { return kind() == Kind::Int; }
    [[nodiscard]] bool is_other() const noexcept { return kind() == Kind::Other; }

    // Payload accessors; each requires the matching kind.
    [[nodiscard]] std::string_view text() const noexcept { return std::get<Text>(v_).view(); }
    [[nodiscard]] std::int64_t number() const noexcept { return std::get<std::int64_t>(v_); }
    // Borrowed; alive as long as this key.
    [[nodiscard]] PyObject* object() const noexcept { return std::get<py::Ref>(v_).get(); }

    // The key as a Python object: a new str, a new int, or the held object
    // itself. Null with an exception set on failure.
    [[nodiscard]] py::Ref to_py() const;

    // The text form of a Str or Int key (text, or decimal digits), appended
    // to `out`. Must not be called on an Other key.
    void append_str_form(std::string& out) const;

private:
    explicit Key(Text t) noexcept : v_(std::move(t)) {}
    explicit Key(std::int64_t n) noexcept : v_(n) {}
    explicit Key(py::Ref o) noexcept : v_(std::move(o)) {}

    std::variant<Text, std::int64_t, py::Ref> v_;
};

using KeyVec = std::vector<Key>;

// Key equality: 1 equal, 0 unequal, -1 error. Str and Int never equal each
// other. A pair with an Other key goes through the interpreter's `==` (left
// operand `a`) and then also needs the same rendered text, so that paths
// that compare equal always hash alike (1.0 == 1, but [1.0] is not [1]).
[[nodiscard]] int py_eq(const Key& a, const Key& b);

// Ordered comparison under `op`: 1 true, 0 false, -1 error. Two Int keys
// compare numerically; Str/Int mixes compare their text forms bytewise (so
// the key 10 sorts before "9" and "7" equals 7 under Eq); a pair with an
// Other key goes through the interpreter's rich comparison.
[[nodiscard]] int wrapper_cmp(const Key& a, const Key& b, CmpOp op);

// `op` applied to two byte strings in plain lexicographic (unsigned) order.
[[nodiscard]] bool apply_ord(CmpOp op, std::string_view x, std::string_view y) noexcept;

// Decimal digits of `n` appended to `out`, without the interpreter.
void append_decimal(std::string& out, std::int64_t n);

}  // namespace vesk::topology
