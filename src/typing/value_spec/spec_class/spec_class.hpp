// The one template of the concrete spec classes. A class states what is its
// own in a descriptor; everything every class has is generated from it, so
// the constructor, its docstring, its type and its shared members cannot
// drift apart:
//
//   struct StrClass {
//       static constexpr py::Literal kName{"Str"};     // class name and label
//       static constexpr const char* kParams[] = {       // the constructor's
//           "default=...", "default_factory=None", "regex=None",  // parameters,
//           "is_noneable=False", "frozen=False", "strict=None"};   // as shown
//       static constexpr Py_ssize_t kPositional = 6, kRequired = 0;
//       // The kind's own arguments (the common options already converted)
//       // and its JSON reader, both ending in the kind's constructor.
//       static std::optional<SpecEngine> make(const py::Args<6>& a, SpecCommon common);
//       static std::optional<SpecEngine> read_json(const JsonRow& row, SpecCommon common);
//       // Optional: extra methods / getters (null-terminated tables), extra
//       // slots, another base, subclassing, a docstring summary, no
//       // `skip_user_transform` of its own.
//       static PyMethodDef* methods();
//       static PyGetSetDef* getters();
//       static void slots(py::TypeDef& t);
//       static PyTypeObject* base();
//       static constexpr bool kSubclassable = true;
//       static constexpr const char* kSummary = "...";
//       static constexpr bool kOwnSkipUserTransform = false;
//   };
//   PyTypeObject* str_type() { return SpecClass<StrClass>::type(); }
//
// Generated: the type "vesk_core._native.{kName}" (final unless it says
// otherwise, on SpecBase unless it names another base) whose docstring is
// its constructor's signature made from `kParams` and "--"; `__new__` and the
// vectorcall of the class (both parse `kParams`, convert the common options
// found among them by name, call `make` and wrap the engine in an instance of
// the class called); the class attribute `__serialization_key__`
// "vesk.typing.{kName}"; and the shared members `skip_user_transform`,
// `__copy__`, `__deepcopy__` and `from_json`, each producing an instance of
// this class, never of a subclass it was reached through. `kClass` is what
// the kind's table names as its class.
#pragma once

#include "py/args.hpp"
#include "py/lazy.hpp"
#include "py/methods.hpp"
#include "py/type.hpp"
#include "typing/value_spec/engine/build.hpp"
#include "typing/value_spec/spec_class/json_read.hpp"

#include <array>
#include <cstddef>
#include <iterator>
#include <optional>
#include <vector>

namespace vesk::typing {

// The common constructor options as the parser bound them: borrowed, null
// when omitted.
struct CommonArgs {
    PyObject* default_value = nullptr;
    PyObject* default_factory = nullptr;
    PyObject* transform = nullptr;
    PyObject* is_noneable = nullptr;
    PyObject* frozen = nullptr;
    PyObject* strict = nullptr;
};

// Converts the common options: an omitted default is the bridge's missing
// value (an explicit None is a default of None); None and omission are the
// same for the factory and the transform; `is_noneable` and `frozen` must be
// bools; `strict` is unset for None or omitted, else a bool. False with the
// internal error "typing bridge not installed" or the binding layer's
// TypeError naming the parameter.
[[nodiscard]] bool convert_common(const CommonArgs& args, SpecCommon& out);

// `value` itself, or null for None (the kind arguments that treat an
// explicit None as omitted).
[[nodiscard]] inline PyObject* none_as_omitted(PyObject* value) noexcept {
    return value == Py_None ? nullptr : value;
}

// A new instance of `type` around a built engine; null when `engine` is
// empty (its exception is pending) or allocation fails.
[[nodiscard]] PyObject* wrap_built(PyTypeObject* type, std::optional<SpecEngine> engine);

// The shared members, for the class `type`.
namespace spec_members {
extern py::Params<0> kCopyParams;
extern py::Params<1> kDeepcopyParams;
extern py::Params<1> kFromJsonParams;
PyObject* copy(PyTypeObject* type, SpecScope self);
PyObject* deepcopy(PyTypeObject* type, SpecScope self, PyObject* memo);
PyObject* skip_user_transform(PyTypeObject* type, SpecScope self);
PyObject* from_json(PyTypeObject* type, JsonReader read, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames);
}  // namespace spec_members

namespace detail {

template <std::size_t A, std::size_t B>
consteval std::array<char, A + B - 1> concat(const char (&a)[A], const char (&b)[B]) {
    std::array<char, A + B - 1> out{};
    for (std::size_t i = 0; i + 1 < A; ++i) out[i] = a[i];
    for (std::size_t i = 0; i < B; ++i) out[A - 1 + i] = b[i];
    return out;
}

inline constexpr std::size_t kNoParam = static_cast<std::size_t>(-1);

template <std::size_t M>
consteval std::size_t find_param(const char* const (&names)[M], const char* name) {
    const std::size_t length = py::detail::name_length(name);
    for (std::size_t i = 0; i < M; ++i) {
        if (py::detail::name_length(names[i]) != length) continue;
        std::size_t k = 0;
        while (k < length && names[i][k] == name[k]) ++k;
        if (k == length) return i;
    }
    return kNoParam;
}

// Where the common options stand among a class's parameters.
struct CommonIndices {
    std::size_t default_value, default_factory, transform, is_noneable, frozen, strict;
};

template <std::size_t M>
consteval CommonIndices common_indices(const char* const (&names)[M]) {
    return {find_param(names, "default"), find_param(names, "default_factory"),
            find_param(names, "transform"), find_param(names, "is_noneable"),
            find_param(names, "frozen"), find_param(names, "strict")};
}

}  // namespace detail

template <class Def>
class SpecClass {
public:
    static constexpr std::size_t N = std::size(Def::kParams);
    static constexpr auto kTypeName = detail::concat("vesk_core._native.", Def::kName.text);
    static constexpr auto kSerializationKey = detail::concat("vesk.typing.", Def::kName.text);

    // The class, built on first use and shared by the process (borrowed);
    // null with an exception set.
    static PyTypeObject* type() {
        static py::TypeCell TYPE;
        PyTypeObject* base = base_type();
        if (!base) return nullptr;
        return TYPE.get([&](py::TypeDef& t) { declare(t, base); });
    }

    static constexpr KindClass kClass{Def::kName.text, kSerializationKey.data(), &type};

private:
    static constexpr detail::CommonIndices kCommon = detail::common_indices(Def::kParams);

    static inline py::Params<N> params{Def::kName.text, Def::kParams, Def::kPositional,
                                       Def::kRequired};

    static PyObject* at(const py::Args<N>& a, std::size_t i) {
        return i == detail::kNoParam ? nullptr : a[i];
    }

    static PyObject* construct(PyTypeObject* type, const py::Args<N>& a) {
        SpecCommon common;
        if (!convert_common({.default_value = at(a, kCommon.default_value),
                             .default_factory = at(a, kCommon.default_factory),
                             .transform = at(a, kCommon.transform),
                             .is_noneable = at(a, kCommon.is_noneable),
                             .frozen = at(a, kCommon.frozen),
                             .strict = at(a, kCommon.strict)},
                            common))
            return nullptr;
        return wrap_built(type, Def::make(a, std::move(common)));
    }

    // `__new__` allocates the class it is called on.
    static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
        py::TupleArgs<N> a;
        if (!py::parse(params, args, kwds, a)) return nullptr;
        return construct(type, a);
    }

    static PyObject* vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                                PyObject* kwnames) {
        py::Args<N> a;
        if (!py::parse(params, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
        return construct(reinterpret_cast<PyTypeObject*>(type), a);
    }

    static PyObject* copy(SpecScope self) {
        PyTypeObject* t = type();
        return t ? spec_members::copy(t, self) : nullptr;
    }

    static PyObject* deepcopy(SpecScope self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
        py::Args<1> a;
        if (!py::parse(spec_members::kDeepcopyParams, args, nargs, kwnames, a)) return nullptr;
        PyTypeObject* t = type();
        return t ? spec_members::deepcopy(t, self, a[0]) : nullptr;
    }

    static PyObject* skip_user_transform(SpecScope self) {
        PyTypeObject* t = type();
        return t ? spec_members::skip_user_transform(t, self) : nullptr;
    }

    static PyObject* from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
        PyTypeObject* t = type();
        return t ? spec_members::from_json(t, &Def::read_json, args, nargs, kwnames) : nullptr;
    }

    static PyTypeObject* base_type() {
        if constexpr (requires { Def::base(); })
            return Def::base();
        else
            return spec_base_type();
    }

    static constexpr bool own_skip_user_transform() {
        if constexpr (requires { Def::kOwnSkipUserTransform; })
            return Def::kOwnSkipUserTransform;
        else
            return true;
    }

    // The shared members first, then the class's own.
    static PyMethodDef* methods() {
        static std::vector<PyMethodDef> table = [] {
            static PyMethodDef shared[] = {
                py::method<&SpecClass::copy>("__copy__", spec_members::kCopyParams),
                py::method<&SpecClass::deepcopy>("__deepcopy__", spec_members::kDeepcopyParams),
                py::class_method<&SpecClass::from_json>("from_json",
                                                        spec_members::kFromJsonParams),
            };
            std::vector<PyMethodDef> all(std::begin(shared), std::end(shared));
            if constexpr (requires { Def::methods(); })
                for (PyMethodDef* m = Def::methods(); m->ml_name; ++m) all.push_back(*m);
            all.push_back(py::kMethodsEnd);
            return all;
        }();
        return table.data();
    }

    static PyGetSetDef* getters() {
        static std::vector<PyGetSetDef> table = [] {
            std::vector<PyGetSetDef> all;
            if constexpr (own_skip_user_transform()) {
                static PyGetSetDef shared[] = {
                    py::getter<&SpecClass::skip_user_transform>("skip_user_transform"),
                };
                all.assign(std::begin(shared), std::end(shared));
            }
            if constexpr (requires { Def::getters(); })
                for (PyGetSetDef* g = Def::getters(); g->name; ++g) all.push_back(*g);
            all.push_back(py::kGettersEnd);
            return all;
        }();
        return table.data();
    }

    static void declare(py::TypeDef& t, PyTypeObject* base) {
        const char* summary = "";
        if constexpr (requires { Def::kSummary; }) summary = Def::kSummary;
        t.name(kTypeName.data()).doc(py::class_doc(params, summary)).base(base);
        if constexpr (requires { Def::kSubclassable; }) {
            if constexpr (Def::kSubclassable) t.subclassable();
        } else {
            t.final_();
        }
        t.slots({py::slot<Py_tp_new, &SpecClass::tp_new>()})
            .template vectorcall<&SpecClass::vectorcall>()
            .methods(methods())
            .getters(getters())
            .class_attr("__serialization_key__", kSerializationKey.data());
        if constexpr (requires { Def::slots(t); }) Def::slots(t);
    }
};

}  // namespace vesk::typing
