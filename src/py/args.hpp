// Fast-call argument parsing (METH_FASTCALL | METH_KEYWORDS) and the typed
// converters shared by every native function and method.
#pragma once

#include "py/ref.hpp"

#include <cstdint>
#include <initializer_list>

namespace vesk::py {

// The parameters of one native callable. Parameters after `positional` are
// keyword-only; the first `required` must be given.
struct Signature {
    const char* func;  // used in messages, e.g. "format"
    std::initializer_list<const char*> names;
    Py_ssize_t positional;
    Py_ssize_t required;
};

// Fills `out[i]` with a borrowed pointer to the argument bound to parameter
// i, or null when it was omitted, so callers can tell an omitted argument from
// an explicit None. `out` must have room for every parameter. Returns false
// with TypeError set on an arity or keyword mismatch.
[[nodiscard]] bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames, PyObject** out);

namespace detail {
// The steps `parse_args` is made of, shared with the other parsers.
// Each returns false with TypeError set.
[[nodiscard]] bool bind_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject** out);
[[nodiscard]] bool bind_keyword(const Signature& sig, Py_ssize_t index, PyObject* name,
                                PyObject* value, PyObject** out);
[[nodiscard]] bool check_required(const Signature& sig, PyObject* const* out);
}  // namespace detail

// Exactly True or False; anything else is a TypeError naming the parameter.
[[nodiscard]] bool arg_bool(const char* name, PyObject* value, bool& out);
// An int in 0..255: TypeError naming the parameter when not an int,
// OverflowError when out of range.
[[nodiscard]] bool arg_u8(const char* name, PyObject* value, std::uint8_t& out);
// An int that fits a signed 64-bit integer.
[[nodiscard]] bool arg_i64(const char* name, PyObject* value, std::int64_t& out);
// A str (subclasses included).
[[nodiscard]] bool arg_str(const char* name, PyObject* value);

// Reports a wrong argument type, naming the parameter and what it expected.
void raise_arg_type(const char* name, const char* expected, PyObject* got);

}  // namespace vesk::py
