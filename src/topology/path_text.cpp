#include "topology/path_text.hpp"

#include "py/named.hpp"


#include <cstring>

namespace vesk::topology {

namespace {

// --- rendering ---------------------------------------------------------------

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

constexpr std::uint64_t has_zero_byte(std::uint64_t v) noexcept { return (v - kOnes) & ~v & kHighs; }

// Whether a name holds '.', '[' or ']', tested a word at a time.
[[nodiscard]] bool has_special(std::string_view s) noexcept {
    const char* p = s.data();
    std::size_t n = s.size();
    while (n >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        if (has_zero_byte(w ^ ('.' * kOnes)) | has_zero_byte(w ^ ('[' * kOnes)) |
            has_zero_byte(w ^ (']' * kOnes)))
            return true;
        p += 8;
        n -= 8;
    }
    for (; n != 0; --n, ++p)
        if (*p == '.' || *p == '[' || *p == ']') return true;
    return false;
}

void write_plain(std::string& out, bool first, std::string_view t) {
    if (!first) out.push_back('.');
    out.append(t);
}

void write_bracketed(std::string& out, std::string_view t) {
    out.push_back('[');
    out.append(t);
    out.push_back(']');
}

// A name: plain, or bracketed when it holds '.', '[' or ']' and complex
// keys are preserved.
void write_name(std::string& out, bool first, std::string_view t, bool preserve_complex_keys) {
    if (preserve_complex_keys && has_special(t))
        write_bracketed(out, t);
    else
        write_plain(out, first, t);
}

// An Other key: its `str()`, plain when its type answers `__vesk_str_key__`
// (a name-like key object), bracketed otherwise. A text without UTF-8 form
// fails, or with `escape` is written with backslash escapes; a str key (one
// holding a lone surrogate) is then written as the name it is.
[[nodiscard]] bool write_other(std::string& out, bool first, PyObject* object,
                               bool preserve_complex_keys, bool escape) {
    py::Ref marker;
    const int has = py::get_optional_attr<"__vesk_str_key__">(
        reinterpret_cast<PyObject*>(Py_TYPE(object)), marker);
    if (has < 0) return false;
    py::Ref text = py::Ref::steal(PyObject_Str(object));
    if (!text) return false;
    std::string_view t;
    py::Ref escaped;
    if (!utf8_of(text.get(), t)) {
        if (!escape || !PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
        PyErr_Clear();
        escaped = py::Ref::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace"));
        if (!escaped) return false;
        t = std::string_view(PyBytes_AS_STRING(escaped.get()),
                             static_cast<std::size_t>(PyBytes_GET_SIZE(escaped.get())));
        if (PyUnicode_Check(object)) {
            write_name(out, first, t, preserve_complex_keys);
            return true;
        }
    }
    if (has)
        write_plain(out, first, t);
    else
        write_bracketed(out, t);
    return true;
}

[[nodiscard]] bool render(std::span<const Key> keys, bool preserve_complex_keys, bool escape,
                          std::string& out) {
    bool first = true;
    for (const Key& key : keys) {
        switch (key.kind()) {
            case Key::Kind::Str:
                write_name(out, first, key.text(), preserve_complex_keys);
                break;
            case Key::Kind::Int:
                out.push_back('[');
                append_decimal(out, key.number());
                out.push_back(']');
                break;
            case Key::Kind::Other:
                if (!write_other(out, first, key.object(), preserve_complex_keys, escape))
                    return false;
                break;
        }
        first = false;
    }
    return true;
}

// --- scanning ----------------------------------------------------------------

// Code points in the first `bytes` bytes of UTF-8 text (error positions
// count characters, not bytes).
[[nodiscard]] Py_ssize_t code_points(std::string_view text, std::size_t bytes) noexcept {
    Py_ssize_t n = 0;
    for (std::size_t i = 0; i < bytes; ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++n;
    return n;
}

[[nodiscard]] bool ascii_digits(std::string_view s) noexcept {
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

[[nodiscard]] bool has_non_ascii(std::string_view s) noexcept {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return true;
    return false;
}

// An optional single sign, then ASCII digits, within 64 bits.
[[nodiscard]] bool parse_i64(std::string_view s, std::int64_t& out) noexcept {
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty() || !ascii_digits(s)) return false;
    const std::uint64_t limit = negative ? (std::uint64_t{1} << 63) : (std::uint64_t{1} << 63) - 1;
    std::uint64_t v = 0;
    for (char c : s) {
        const auto d = static_cast<std::uint64_t>(c - '0');
        if (v > (limit - d) / 10) return false;
        v = v * 10 + d;
    }
    out = negative ? static_cast<std::int64_t>(0 - v) : static_cast<std::int64_t>(v);
    return true;
}

[[nodiscard]] py::Ref to_str(std::string_view s) {
    return py::Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
}

// The key of one bracketed segment: digit texts (after any leading dashes)
// become integers, everything else a name.
[[nodiscard]] bool append_bracketed(KeyVec& keys, std::string_view segment) {
    std::string_view rest = segment;
    while (!rest.empty() && rest.front() == '-') rest.remove_prefix(1);
    if (rest.empty()) {
        keys.push_back(Key::str(segment));
        return true;
    }
    bool digits = ascii_digits(rest);
    if (!digits) {
        // Only other scripts' digits can pass `isdigit` without being ASCII.
        if (!has_non_ascii(rest)) {
            keys.push_back(Key::str(segment));
            return true;
        }
        py::Ref rest_obj = to_str(rest);
        if (!rest_obj) return false;
        py::Ref answer = py::call_method<"isdigit">(rest_obj.get());
        if (!answer) return false;
        const int truth = PyObject_IsTrue(answer.get());
        if (truth < 0) return false;
        if (!truth) {
            keys.push_back(Key::str(segment));
            return true;
        }
    }
    std::int64_t n = 0;
    if (digits && parse_i64(segment, n)) {
        keys.push_back(Key::integer(n));
        return true;
    }
    // Beyond 64 bits, other scripts' digits or repeated dashes: the
    // interpreter's int() decides, and its ValueError is the scan's error.
    py::Ref seg_obj = to_str(segment);
    if (!seg_obj) return false;
    py::Ref value = py::Ref::steal(PyLong_FromUnicodeObject(seg_obj.get(), 10));
    if (!value) return false;
    keys.push_back(Key::from_py(value.get()));
    return true;
}

void append_plain(KeyVec& keys, std::string_view segment) {
    if (!segment.empty()) keys.push_back(Key::str(segment));
}

}  // namespace

bool utf8_of(PyObject* str, std::string_view& out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (!data) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool render_keys(std::span<const Key> keys, bool preserve_complex_keys, std::string& out) {
    return render(keys, preserve_complex_keys, false, out);
}

py::Ref render_to_str(std::span<const Key> keys, bool preserve_complex_keys) {
    std::string text;
    if (!render(keys, preserve_complex_keys, false, text)) return {};
    return to_str(text);
}

py::Ref render_escaped(std::span<const Key> keys) {
    std::string text;
    if (!render(keys, true, true, text)) return {};
    return to_str(text);
}

bool scan(std::string_view text, PyObject* text_obj, KeyVec& out) {
    const std::size_t before = out.size();
    auto fail = [&] {
        out.erase(out.begin() + static_cast<std::ptrdiff_t>(before), out.end());
        return false;
    };
    const std::size_t n = text.size();
    std::size_t start = 0;
    Py_ssize_t depth = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const char c = text[i];
        if (c == '.') {
            if (depth == 0) {
                append_plain(out, text.substr(start, i - start));
                start = i + 1;
            }
        } else if (c == '[') {
            if (depth == 0) {
                append_plain(out, text.substr(start, i - start));
                start = i + 1;
            }
            ++depth;
        } else if (c == ']') {
            if (--depth == 0) {
                if (!append_bracketed(out, text.substr(start, i - start))) return fail();
                start = i + 1;
            } else if (depth < 0) {
                PyErr_Format(PyExc_ValueError,
                             "KeyPath parse failed: unmatched close bracket at position %zd:%R",
                             code_points(text, i), text_obj);
                return fail();
            }
        }
    }
    if (start < n) append_plain(out, text.substr(start));
    if (depth > 0) {
        PyErr_Format(PyExc_ValueError,
                     "KeyPath parse failed: unmatched open bracket at position %zd: %R",
                     code_points(text, start - 1), text_obj);
        return fail();
    }
    return true;
}

}  // namespace vesk::topology
