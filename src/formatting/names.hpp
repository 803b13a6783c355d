// Interned names of the formatting service, built once per process. The
// keyword tuples double as vectorcall `kwnames`, so nested calls of `format`
// match their keywords by identity.
#pragma once

#include "py/kwargs.hpp"

namespace vesk::formatting::names {

// Keywords that `format` passes to every nested call, in this order; the
// caller's extra keywords follow "memo". A formattable value's own `format`
// gets the same set followed by "include_keys" and "exclude_keys".
inline constexpr const char* kFormattable[] = {
    "compact",       "verbose",       "root_indent", "list_wrap_threshold",
    "strip_object_id", "max_str_len", "max_bytes_len", "custom_format",
    "memo",          "include_keys",  "exclude_keys"};
inline constexpr Py_ssize_t kChildCount = 9;
inline constexpr const char* kChild[kChildCount] = {
    "compact",       "verbose",     "root_indent",   "list_wrap_threshold", "strip_object_id",
    "max_str_len",   "max_bytes_len", "custom_format", "memo"};
inline py::NameTuple CHILD{kChild};
inline py::NameTuple FORMATTABLE{kFormattable};

// Keywords that `kvlist_str` passes to `format` for each value; extra keywords
// follow "memo".
inline constexpr Py_ssize_t kKvlistChildCount = 5;
inline constexpr const char* kKvlistChild[kKvlistChildCount] = {
    "compact", "verbose", "root_indent", "custom_format", "memo"};
inline py::NameTuple KVLIST_CHILD{kKvlistChild};

// The one keyword of the markdown scope factories.
inline constexpr const char* kMarkdown[] = {"markdown"};
inline py::NameTuple MARKDOWN{kMarkdown};

// Attribute names, indexed by `Attr`.
enum class Attr : Py_ssize_t { Format, Enter, Exit, Formattable, Class, Name, Qualname };
inline constexpr const char* kAttrs[] = {"format",    "__enter__", "__exit__",
                                         "__vesk_formattable__", "__class__", "__name__",
                                         "__qualname__"};
inline py::NameTuple ATTRS{kAttrs};

// The ints 0 and 80, the defaults of root_indent and list_wrap_threshold.
inline py::ObjectCell ZERO;
inline py::ObjectCell EIGHTY;

// Builds every tuple and constant; the execution step calls it so that later readers find
// them built. Returns 0, or -1 with an exception set.
[[nodiscard]] int init();

// A borrowed attribute name; valid once `init` succeeded.
[[nodiscard]] inline PyObject* attr(Attr a) noexcept {
    return ATTRS.at(static_cast<Py_ssize_t>(a));
}

}  // namespace vesk::formatting::names
