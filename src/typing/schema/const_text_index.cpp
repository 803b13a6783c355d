// The constant-text index: open addressing with linear probing over the
// FNV-1a hash, so a probe costs one pass over the key's bytes and no Python
// call.
#include "typing/schema/const_text_index.hpp"

namespace vesk::typing::schema {

void ConstTextIndex::grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 8 : old.size() * 2, Slot{});
    const std::size_t mask = slots_.size() - 1;
    for (Slot& s : old) {
        if (!s.used) continue;
        std::size_t i = static_cast<std::size_t>(s.hash) & mask;
        while (slots_[i].used) i = (i + 1) & mask;
        slots_[i] = std::move(s);
    }
}

void ConstTextIndex::insert(std::string_view utf8, std::uint32_t pos) {
    // Kept at most half full, so probes stay short and always end.
    if ((count_ + 1) * 2 > slots_.size()) grow();
    const std::uint64_t h = const_text_hash(utf8);
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = static_cast<std::size_t>(h) & mask;
    while (slots_[i].used) {
        if (slots_[i].hash == h && slots_[i].text == utf8) {
            slots_[i].pos = pos;
            return;
        }
        i = (i + 1) & mask;
    }
    slots_[i] = Slot{h, pos, true, std::string(utf8)};
    ++count_;
}

std::ptrdiff_t ConstTextIndex::find(std::string_view utf8) const noexcept {
    if (count_ == 0) return -1;
    const std::uint64_t h = const_text_hash(utf8);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(h) & mask; slots_[i].used; i = (i + 1) & mask)
        if (slots_[i].hash == h && slots_[i].text == utf8) return slots_[i].pos;
    return -1;
}

std::ptrdiff_t ConstTextIndex::find_key(PyObject* key) const noexcept {
    if (count_ == 0 || !PyUnicode_Check(key)) return -1;
    // An ASCII str is its own UTF-8, read in place with no call.
    if (PyUnicode_IS_ASCII(key))
        return find(std::string_view(static_cast<const char*>(PyUnicode_DATA(key)),
                                     static_cast<std::size_t>(PyUnicode_GET_LENGTH(key))));
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (!text) {
        PyErr_Clear();  // a lone surrogate is no constant key
        return -1;
    }
    return find(std::string_view(text, static_cast<std::size_t>(size)));
}

}  // namespace vesk::typing::schema
