// Docstrings that carry a native callable's text signature, so `help()` and
// `inspect.signature` show its parameters instead of `(...)`:
//
//   py::method<apply>("apply", py::signature_doc(kApplySig, {"False", "None"}))
//   py::method<extend>("extend", py::signature_doc("extend", "base, /"))
//
// The first form reads a Params (args.hpp): its first `positional` names may
// be given by position or by name, the rest only by name; every parameter
// past the `required` ones takes the next text of `defaults`; a Params that
// collects or ignores unknown keywords ends in `**kwargs`. The second form
// takes the parameter list as written, for callables without a Params
// (METH_O, METH_NOARGS, or a parser of their own).
//
// The text lives for the process. Build it while the method tables are
// initialised (the library's load), or at any time after.
#pragma once

#include "py/args.hpp"

#include <cstdint>
#include <initializer_list>
#include <string>

namespace vesk::py {

// Who the callable's first, implicit argument is.
enum class DocReceiver : std::uint8_t {
    Instance,  // a method: `$self`
    Class,     // a class method: `$cls`
    None,      // a static method or a module function
};

namespace detail {
[[nodiscard]] const char* keep_doc(std::string text);
[[nodiscard]] std::string params_text(const ParamsView& params,
                                      std::initializer_list<const char*> defaults);
[[nodiscard]] const char* compose_doc(const char* name, const std::string& params, DocReceiver receiver,
                                      const char* doc);
}  // namespace detail

// The docstring of a callable named `name` whose parameter list is
// `params` (Python syntax, without the receiver), followed by `doc`.
[[nodiscard]] inline const char* signature_doc(const char* name, const char* params = "",
                                               DocReceiver receiver = DocReceiver::Instance,
                                               const char* doc = nullptr) {
    return detail::compose_doc(name, params, receiver, doc);
}

// The docstring of the callable that parses with `params`.
template <std::size_t N>
[[nodiscard]] const char* signature_doc(Params<N>& params,
                                        std::initializer_list<const char*> defaults = {},
                                        DocReceiver receiver = DocReceiver::Instance,
                                        const char* doc = nullptr) {
    const detail::ParamsView view = params.view();
    return detail::compose_doc(view.func, detail::params_text(view, defaults), receiver, doc);
}

}  // namespace vesk::py
