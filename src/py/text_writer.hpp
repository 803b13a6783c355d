// RAII over the interpreter's incremental str builder.
#pragma once

#include "py/ref.hpp"

#include <cstring>
#include <utility>

namespace vesk::py {

class TextWriter {
public:
    // Check `ok()` after construction: creating the writer can fail.
    explicit TextWriter(Py_ssize_t size_hint = 0) noexcept
        : w_(PyUnicodeWriter_Create(size_hint)) {}
    ~TextWriter() {
        if (w_) PyUnicodeWriter_Discard(w_);
    }
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;

    [[nodiscard]] bool ok() const noexcept { return w_ != nullptr; }

    [[nodiscard]] bool ascii(const char* text, Py_ssize_t len) noexcept {
        return PyUnicodeWriter_WriteASCII(w_, text, len) == 0;
    }
    [[nodiscard]] bool ascii(const char* text) noexcept {
        return ascii(text, static_cast<Py_ssize_t>(std::strlen(text)));
    }
    [[nodiscard]] bool ch(Py_UCS4 c) noexcept { return PyUnicodeWriter_WriteChar(w_, c) == 0; }
    // Writes str(obj); a str is copied as it is.
    [[nodiscard]] bool str(PyObject* obj) noexcept { return PyUnicodeWriter_WriteStr(w_, obj) == 0; }
    // Writes the characters of a str; for a subclass, its content rather than
    // whatever its __str__ returns (as joining and concatenation do).
    [[nodiscard]] bool text(PyObject* s) noexcept {
        return PyUnicodeWriter_WriteSubstring(w_, s, 0, PyUnicode_GET_LENGTH(s)) == 0;
    }
    // Writes repr(obj).
    [[nodiscard]] bool repr(PyObject* obj) noexcept {
        return PyUnicodeWriter_WriteRepr(w_, obj) == 0;
    }
    [[nodiscard]] bool spaces(Py_ssize_t count) noexcept {
        static constexpr char blanks[] = "                                                                ";
        constexpr Py_ssize_t chunk = sizeof(blanks) - 1;
        if (count > 16 * chunk) {
            // One allocation of the whole run: a size beyond memory fails at
            // once instead of after growing the buffer chunk by chunk.
            Ref run = Ref::steal(PyUnicode_New(count, 127));
            if (!run) return false;
            std::memset(PyUnicode_DATA(run.get()), ' ', static_cast<std::size_t>(count));
            return str(run.get());
        }
        while (count > 0) {
            const Py_ssize_t n = count < chunk ? count : chunk;
            if (!ascii(blanks, n)) return false;
            count -= n;
        }
        return true;
    }

    // The text written so far; the writer is spent afterwards.
    [[nodiscard]] Ref finish() noexcept {
        return Ref::steal(PyUnicodeWriter_Finish(std::exchange(w_, nullptr)));
    }

private:
    PyUnicodeWriter* w_;
};

}  // namespace vesk::py
