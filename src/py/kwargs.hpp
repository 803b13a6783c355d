// Fast-call parsing for callables that also take a trailing `**kwargs`, and
// process-wide tuples of interned names usable as vectorcall keyword names.
//
// Native callers that forward keyword sets to each other pass the very same
// interned name objects, so names match by identity before any string
// comparison.
#pragma once

#include "py/args.hpp"
#include "py/once_cell.hpp"

#include <cstddef>
#include <vector>

namespace vesk::py {

// A tuple of interned str built once per process from static names; it serves
// both as a parameter table and as the `kwnames` of a vectorcall.
class NameTuple {
public:
    // `names` must outlive the tuple (a static array).
    template <std::size_t N>
    constexpr explicit NameTuple(const char* const (&names)[N]) noexcept
        : names_(names), size_(static_cast<Py_ssize_t>(N)) {}
    // The parameter names of `sig`, which must outlive the tuple.
    constexpr explicit NameTuple(const Signature& sig) noexcept
        : names_(sig.names.begin()), size_(static_cast<Py_ssize_t>(sig.names.size())) {}
    NameTuple(const NameTuple&) = delete;
    NameTuple& operator=(const NameTuple&) = delete;

    // Borrowed tuple, or null with an exception set when building it failed.
    [[nodiscard]] PyObject* get();
    // Borrowed name `i` of a tuple already obtained with `get`.
    [[nodiscard]] PyObject* at(Py_ssize_t i) const noexcept {
        return PyTuple_GET_ITEM(cell_.get(), i);
    }
    [[nodiscard]] Py_ssize_t size() const noexcept { return size_; }

private:
    const char* const* names_;
    Py_ssize_t size_;
    ObjectCell cell_;
};

// Like `parse_args`, but keywords that name no parameter are appended to
// `extra` in call order instead of failing, as a trailing `**kwargs` would
// take them. `names` is `sig.names` as a NameTuple.
[[nodiscard]] bool parse_args_kw(const Signature& sig, NameTuple& names, PyObject* const* args,
                                 Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
                                 ExtraKeywords& extra);

}  // namespace vesk::py
