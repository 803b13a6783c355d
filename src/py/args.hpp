// The one argument parser of native callables, and the typed converters.
//
//   py::Params kSig{"get", {"src", "default_value", "use_inferred"}, 3, 1};
//   PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
//       py::Args<3> a;
//       if (!py::parse(kSig, args, nargs, kwnames, a)) return nullptr;
//       ... a[0], a.given(2) ...
//
// A `Params<N>` names N parameters: the first `positional` may be given by
// position, the rest only by name; the first `required` must be given. The
// name count is part of the type (a list of another length does not compile)
// and `Args<N>` must match it. Keywords that name no parameter are refused,
// ignored or collected, as the Params' `Keywords` policy says. Names are
// interned once per Params and matched by identity first, so native callers
// that forward interned names never compare strings.
#pragma once

#include "py/once_cell.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vesk::py {

// What happens to a keyword argument that names no parameter.
enum class Keywords : std::uint8_t {
    Reject,   // TypeError "{f}() got an unexpected keyword argument '{k}'"
    Ignore,   // dropped, as an unused `**kwargs` would
    Collect,  // kept in `Args::extra()` in call order, as `**kwargs`
};

// A keyword argument that matched no parameter (borrowed from the call).
struct ExtraKeyword {
    PyObject* name;
    PyObject* value;
};
using ExtraKeywords = std::vector<ExtraKeyword>;

namespace detail {
// The parser's view of a Params, whatever its size.
struct ParamsView {
    const char* func;
    const char* const* names;
    Py_ssize_t count;
    Py_ssize_t positional;
    Py_ssize_t required;
    Keywords keywords;
    ObjectCell* interned;
};
[[nodiscard]] PyObject* interned_names(const ParamsView& params);
[[nodiscard]] bool parse_fast(const ParamsView& params, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames, PyObject** out, ExtraKeywords& extra);
[[nodiscard]] bool parse_tuple(const ParamsView& params, PyObject* args, PyObject* kwds,
                               PyObject** out, ExtraKeywords& extra, std::vector<Ref>& keep);
}  // namespace detail

// The parameters of one native callable. Static storage only: it caches its
// interned names for the life of the process.
template <std::size_t N>
class Params {
public:
    template <std::size_t M>
        requires(M == N)
    consteval Params(const char* func, const char* const (&names)[M], Py_ssize_t positional,
                     Py_ssize_t required, Keywords keywords = Keywords::Reject)
        : func_(func), positional_(positional), required_(required), keywords_(keywords) {
        if (positional < 0 || positional > static_cast<Py_ssize_t>(N) || required < 0 ||
            required > static_cast<Py_ssize_t>(N))
            throw "positional and required counts must lie within the parameters";
        for (std::size_t i = 0; i < N; ++i) names_[i] = names[i];
    }
    // No parameters at all.
    consteval explicit Params(const char* func, Keywords keywords = Keywords::Reject)
        requires(N == 0)
        : func_(func), positional_(0), required_(0), keywords_(keywords) {}
    Params(const Params&) = delete;
    Params& operator=(const Params&) = delete;

    // The names as a tuple of interned str (borrowed), usable as vectorcall
    // `kwnames`; null with an exception set when building it failed.
    [[nodiscard]] PyObject* names() { return detail::interned_names(view()); }

    [[nodiscard]] detail::ParamsView view() noexcept {
        return {func_, names_.data(), static_cast<Py_ssize_t>(N), positional_, required_,
                keywords_, &interned_};
    }

private:
    const char* func_;
    std::array<const char*, N> names_{};
    Py_ssize_t positional_;
    Py_ssize_t required_;
    Keywords keywords_;
    ObjectCell interned_;
};

template <std::size_t M>
Params(const char*, const char* const (&)[M], Py_ssize_t, Py_ssize_t, Keywords = Keywords::Reject)
    -> Params<M>;
Params(const char*) -> Params<0>;
Params(const char*, Keywords) -> Params<0>;

// The arguments bound by `parse`: borrowed pointers, null for an omitted
// parameter, so an omitted argument is told from an explicit None.
template <std::size_t N>
class Args {
public:
    Args() noexcept = default;
    Args(const Args&) = delete;
    Args& operator=(const Args&) = delete;

    [[nodiscard]] PyObject* operator[](std::size_t i) const noexcept { return values_[i]; }
    [[nodiscard]] bool given(std::size_t i) const noexcept { return values_[i] != nullptr; }
    // The keywords that named no parameter (Keywords::Collect), in call order.
    [[nodiscard]] const ExtraKeywords& extra() const noexcept { return extra_; }
    // The same, moved out for a caller that keeps them beyond the Args.
    [[nodiscard]] ExtraKeywords take_extra() noexcept { return std::move(extra_); }

private:
    template <std::size_t M>
    friend bool parse(Params<M>&, PyObject* const*, Py_ssize_t, PyObject*, Args<M>&);
    template <std::size_t M>
    friend bool parse(Params<M>&, PyObject*, PyObject*, Args<M>&);

    std::array<PyObject*, N> values_{};
    ExtraKeywords extra_;
    std::vector<Ref> keep_;  // keyword values of a tuple-and-dict call
};

// The fast-call convention (METH_FASTCALL | METH_KEYWORDS, vectorcall).
// Returns false with TypeError set on an arity or keyword mismatch.
template <std::size_t N>
[[nodiscard]] bool parse(Params<N>& params, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, Args<N>& out) {
    return detail::parse_fast(params.view(), args, nargs, kwnames, out.values_.data(), out.extra_);
}

// The tuple-and-dict convention (`tp_new`, `tp_init`); `kwds` may be null.
// The keyword values stay alive as long as `out`.
template <std::size_t N>
[[nodiscard]] bool parse(Params<N>& params, PyObject* args, PyObject* kwds, Args<N>& out) {
    return detail::parse_tuple(params.view(), args, kwds, out.values_.data(), out.extra_,
                               out.keep_);
}

// Exactly True or False; anything else is a TypeError naming the parameter.
[[nodiscard]] bool arg_bool(const char* name, PyObject* value, bool& out);
// Whether `value` is a bool scalar: True, False, or the numeric library's
// bool scalar (numpy.bool_), recognised by its static type's name. Never fails.
[[nodiscard]] bool is_bool_scalar(PyObject* value) noexcept;
// A bool scalar, taken by its truth; anything else (an int included) is a
// TypeError naming the parameter and saying it expected `expected`.
[[nodiscard]] bool arg_bool_scalar(const char* name, PyObject* value, bool& out,
                                   const char* expected = "True or False");
// An optional bool: `value` null (omitted) leaves `fallback`.
[[nodiscard]] inline bool opt_bool(const char* name, PyObject* value, bool fallback, bool& out) {
    out = fallback;
    return !value || arg_bool(name, value, out);
}
// An int in 0..255: TypeError naming the parameter when not an int,
// OverflowError when out of range.
[[nodiscard]] bool arg_u8(const char* name, PyObject* value, std::uint8_t& out);
// An int that fits a signed 64-bit integer.
[[nodiscard]] bool arg_i64(const char* name, PyObject* value, std::int64_t& out);
// A non-negative int that fits an unsigned 64-bit integer.
[[nodiscard]] bool arg_u64(const char* name, PyObject* value, std::uint64_t& out);
// A str (subclasses included).
[[nodiscard]] bool arg_str(const char* name, PyObject* value);

// Reports a wrong argument type, naming the parameter and what it expected.
void raise_arg_type(const char* name, const char* expected, PyObject* got);

// The downcast check of a value that must be an instance of a native class
// (subclasses count): true, or false with TypeError "'{}' object is not an
// instance of '{}'" naming the value's class and `type` ("'None' is not an
// instance of '{}'" for None).
[[nodiscard]] bool expect_instance(PyObject* value, PyTypeObject* type);
// The same refusal where the expected class is named by text.
void raise_not_instance(PyObject* value, const char* expected);

}  // namespace vesk::py

