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
//
// A name may carry the default a reader should see, as Python writes it
// ("root_path=None", "default=..."): only the part before '=' is matched.
// The docstring of the callable is then made from the Params alone
// (`signature_doc`, and the table entries of methods.hpp that take a
// Params), so what `help()` shows cannot drift from what the parser takes:
//
//   constexpr const char* kNames[] = {"value", "allow_partial=False"};
//   py::Params kSig{"apply", kNames, 2, 1};
//   constexpr std::size_t kAllowPartial = py::param_index(kNames, "allow_partial");
//   py::method<apply>("apply", kSig)   // doc "apply($self, value, allow_partial=False)\n--\n\n"
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

// The length of the name in "name" or "name=default".
[[nodiscard]] consteval std::size_t name_length(const char* text) {
    std::size_t n = 0;
    while (text[n] != '\0' && text[n] != '=') ++n;
    if (n == 0) throw "a parameter has a name";
    return n;
}

// The parser's view of a Params, whatever its size.
struct ParamsView {
    const char* func;
    const char* const* names;         // as written, defaults included
    const std::size_t* name_lengths;  // the name part of each
    Py_ssize_t count;
    Py_ssize_t positional;
    Py_ssize_t required;
    Keywords keywords;
    ObjectCell* interned;
};
[[nodiscard]] PyObject* interned_names(const ParamsView& params);
[[nodiscard]] bool parse_fast(const ParamsView& params, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames, PyObject** out, ExtraKeywords& extra);
// Where a tuple-and-dict call's parse holds what it bound by keyword: new
// references in `inline_refs` (room for `capacity`, `count` set), then in
// `more`.
struct Held {
    PyObject** inline_refs;
    std::size_t capacity;
    std::size_t& count;
    std::vector<Ref>& more;
};
[[nodiscard]] bool parse_tuple(const ParamsView& params, PyObject* args, PyObject* kwds,
                               PyObject** out, Held held, ExtraKeywords& extra);
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
        for (std::size_t i = 0; i < N; ++i) {
            names_[i] = names[i];
            name_lengths_[i] = detail::name_length(names[i]);
        }
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
        return {func_,     names_.data(), name_lengths_.data(), static_cast<Py_ssize_t>(N),
                positional_, required_,   keywords_,            &interned_};
    }

private:
    const char* func_;
    std::array<const char*, N> names_{};
    std::array<std::size_t, N> name_lengths_{};
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

// The index of the parameter `name` among `names` (written as for Params);
// a name that is not there does not compile.
template <std::size_t M>
[[nodiscard]] consteval std::size_t param_index(const char* const (&names)[M], const char* name) {
    const std::size_t length = detail::name_length(name);
    for (std::size_t i = 0; i < M; ++i) {
        if (detail::name_length(names[i]) != length) continue;
        std::size_t k = 0;
        while (k < length && names[i][k] == name[k]) ++k;
        if (k == length) return i;
    }
    throw "no parameter of that name";
}

// What receives a call, as its text signature names it.
enum class Receiver : std::uint8_t {
    Class,   // a class's own docstring: "Name(a, b=None)"
    Static,  // a static method: "name(a)"
    Self,    // an instance method: "name($self, a)"
    Type,    // a class method: "name($type, a)"
    Module,  // a module function: "name($module, /, a)"
};

namespace detail {
[[nodiscard]] const char* signature_doc(const char* name, const ParamsView& params,
                                        Receiver receiver, bool positional_only,
                                        const char* summary);
}  // namespace detail

// A docstring made of the text signature of a callable named `name` that
// takes `params`, then `summary`: "name($self, a, b=None, *, c=1,
// **kwargs)\n--\n\n{summary}". Parameters past `positional` follow "*";
// "**kwargs" ends the list when the Params ignores or collects other
// keywords; an optional parameter written without its default shows None.
// `positional_only` ends the list with "/" (a function taking its one
// argument, or none, the way METH_O and METH_NOARGS do). The text is kept
// for the process.
template <std::size_t N>
[[nodiscard]] const char* signature_doc(const char* name, Params<N>& params, Receiver receiver,
                                        const char* summary = "",
                                        bool positional_only = false) {
    return detail::signature_doc(name, params.view(), receiver, positional_only, summary);
}
// The same for a callable that no Params describes (one that takes any
// arguments and ignores them): `params` is its parameter list as Python
// writes it, without the receiver ("*args, **kwargs").
[[nodiscard]] const char* signature_doc(const char* name, const char* params, Receiver receiver,
                                        const char* summary = "");
// A class's docstring: its constructor's signature under the Params' name.
template <std::size_t N>
[[nodiscard]] const char* class_doc(Params<N>& params, const char* summary = "") {
    return detail::signature_doc(params.view().func, params.view(), Receiver::Class, false,
                                 summary);
}

template <std::size_t N>
class TupleArgs;

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
    // The same, moved out for a caller that keeps them beyond the Args (and,
    // from a TupleArgs, uses them no longer than it).
    [[nodiscard]] ExtraKeywords take_extra() noexcept { return std::move(extra_); }

private:
    template <std::size_t M>
    friend bool parse(Params<M>&, PyObject* const*, Py_ssize_t, PyObject*, Args<M>&);
    template <std::size_t M>
    friend bool parse(Params<M>&, PyObject*, PyObject*, TupleArgs<M>&);

    std::array<PyObject*, N> values_{};
    ExtraKeywords extra_;
};

// The arguments of a tuple-and-dict call (`tp_new`, `tp_init`), read as
// Args. Each stays alive as long as the TupleArgs, whatever Python code run
// meanwhile does to the call's keyword dict (which it can reach through the
// collector): the positional ones are held by the call's tuple, and the
// TupleArgs holds what was bound by keyword, extra names included.
template <std::size_t N>
class TupleArgs : public Args<N> {
public:
    TupleArgs() noexcept = default;
    ~TupleArgs() {
        for (std::size_t i = 0; i < held_count_; ++i) (void)Ref::steal(held_[i]);
    }

private:
    template <std::size_t M>
    friend bool parse(Params<M>&, PyObject*, PyObject*, TupleArgs<M>&);

    // New references to the values bound by keyword and to a few extra
    // keywords' names and values, owned here; only the first `held_count_`
    // are set, so a call that gives none has nothing to clear. More spill
    // to the vector, which also takes the snapshot of a dict others hold.
    static constexpr std::size_t kInlineExtra = 8;
    PyObject* held_[N + kInlineExtra];
    std::size_t held_count_ = 0;
    std::vector<Ref> held_more_;
};

// The fast-call convention (METH_FASTCALL | METH_KEYWORDS, vectorcall).
// Returns false with TypeError set on an arity or keyword mismatch.
template <std::size_t N>
[[nodiscard]] bool parse(Params<N>& params, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, Args<N>& out) {
    return detail::parse_fast(params.view(), args, nargs, kwnames, out.values_.data(), out.extra_);
}

// The tuple-and-dict convention (`tp_new`, `tp_init`); `kwds` may be null.
template <std::size_t N>
[[nodiscard]] bool parse(Params<N>& params, PyObject* args, PyObject* kwds, TupleArgs<N>& out) {
    Args<N>& bound = out;
    return detail::parse_tuple(params.view(), args, kwds, bound.values_.data(),
                               {out.held_, N + out.kInlineExtra, out.held_count_, out.held_more_},
                               bound.extra_);
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

