// The path text: names joined by ".", integer keys and names holding ".",
// "[" or "]" in square brackets. Rendering keys to text and scanning text
// back to keys.
#pragma once

#include "topology/key.hpp"

#include <span>
#include <string>
#include <string_view>

namespace vesk::topology {

// Appends the path text of `keys` to `out` (UTF-8). With
// `preserve_complex_keys` false, names are never bracketed. Fails (false,
// exception set) only when an Other key's `str()` or its type's
// `__vesk_str_key__` lookup raises, or its text has no UTF-8 form.
[[nodiscard]] bool render_keys(std::span<const Key> keys, bool preserve_complex_keys,
                               std::string& out);

// The path text as a new Python str; null with an exception set on failure.
[[nodiscard]] py::Ref render_to_str(std::span<const Key> keys, bool preserve_complex_keys);

// The path text for messages: as `render_to_str(keys, true)`, except that a
// key whose text has no UTF-8 form (a str holding a lone surrogate) is
// written with backslash escapes, as `s.encode("utf-8", "backslashreplace")`
// writes it, instead of failing.
[[nodiscard]] py::Ref render_escaped(std::span<const Key> keys);

// Appends the keys of the path text `text` to `out`. `text_obj` is the str the
// text came from, used only in error messages. On failure returns false with
// ValueError (or the error of the integer fallback) set and `out` unchanged.
[[nodiscard]] bool scan(std::string_view text, PyObject* text_obj, KeyVec& out);

// The UTF-8 text of a str (subclasses included); null with the encoding
// error set when it has none. The view lives as long as `str`.
[[nodiscard]] bool utf8_of(PyObject* str, std::string_view& out);

}  // namespace vesk::topology
