// The constant-text index: a map from a constant key's text to a position,
// probed by hashing the key's bytes once, with no Python call. Schemas, open
// plans and the write and construction paths of symbolic containers and
// objects all hash this way.
#pragma once

#include "py/python.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::typing::schema {

// 64-bit FNV-1a over the UTF-8 bytes of a constant key, then one byte 0xff.
// Every reader of a constant-text index (schemas, open plans, the write and
// construction paths of symbolic containers and objects) hashes this way.
[[nodiscard]] constexpr std::uint64_t const_text_hash(std::string_view utf8) noexcept {
    constexpr std::uint64_t kPrime = 0x100000001b3ull;
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (char c : utf8) {
        h ^= static_cast<unsigned char>(c);
        h *= kPrime;
    }
    h ^= 0xffu;
    h *= kPrime;
    return h;
}
static_assert(const_text_hash("") == 0xaf64724c8602eb6eull);
static_assert(const_text_hash("abc") == 0xfc182483ee0806dcull);

// A map from constant text to a position, probed by the hash above; two
// texts match when their bytes are equal. Fixed once built.
class ConstTextIndex {
public:
    // Enters `utf8` at `pos`; a text entered twice keeps the later position.
    void insert(std::string_view utf8, std::uint32_t pos);
    // The position of `utf8`, or -1.
    [[nodiscard]] std::ptrdiff_t find(std::string_view utf8) const noexcept;
    // The position of a str key (subclasses compared by their text; their
    // own `__eq__` and `__hash__` are not called), or -1 for any other
    // object and for a text that cannot be encoded (a lone surrogate).
    // Never fails and runs no Python code; call it with no exception set.
    [[nodiscard]] std::ptrdiff_t find_key(PyObject* key) const noexcept;
    [[nodiscard]] std::size_t size() const noexcept { return count_; }
    [[nodiscard]] bool empty() const noexcept { return count_ == 0; }

private:
    struct Slot {
        std::uint64_t hash = 0;
        std::uint32_t pos = 0;
        bool used = false;
        std::string text;
    };
    void grow();
    std::vector<Slot> slots_;  // open addressing, power-of-two size
    std::size_t count_ = 0;
};

}  // namespace vesk::typing::schema
