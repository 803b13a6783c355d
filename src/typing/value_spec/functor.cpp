// Functor: the native subclass of Callable whose value type is always the
// package's functor class. It replaces only construction, the members that
// make a new spec and its serialization key; everything else, the getters
// and `skip_user_transform` included, is Callable's.
#include "py/args.hpp"
#include "py/type.hpp"
#include "typing/value_spec/callable.hpp"
#include "typing/value_spec/from_json.hpp"
#include "typing/value_spec/primitives/kind_class.hpp"
#include "typing/value_spec/utils.hpp"

namespace vesk::typing::callable {

namespace {

using primitives::none_as_omitted;

enum Param : std::size_t {
    kArgs, kKw, kReturns, kDefault, kDefaultFactory, kTransform, kIsNoneable, kFrozen, kStrict,
    kParamCount,
};

py::Params<kParamCount> kParams{"Functor",
                                {"args", "kw", "returns", "default", "default_factory",
                                 "transform", "is_noneable", "frozen", "strict"},
                                kParamCount,
                                0};

PyObject* construct(PyTypeObject* type, const py::Args<kParamCount>& a) {
    SpecCommon common;
    if (!primitives::convert_common({.default_value = a[kDefault],
                                     .default_factory = a[kDefaultFactory],
                                     .transform = a[kTransform],
                                     .is_noneable = a[kIsNoneable],
                                     .frozen = a[kFrozen],
                                     .strict = a[kStrict]},
                                    common))
        return nullptr;
    return primitives::wrap_built(type, callable_base(a[kArgs], a[kKw],
                                                      none_as_omitted(a[kReturns]), {}, true,
                                                      std::move(common)));
}

PyObject* functor_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::Args<kParamCount> a;
    if (!py::parse(kParams, args, kwds, a)) return nullptr;
    return construct(type, a);
}

PyObject* functor_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                             PyObject* kwnames) {
    py::Args<kParamCount> a;
    if (!py::parse(kParams, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    return construct(reinterpret_cast<PyTypeObject*>(type), a);
}

PyMethodDef methods[] = {
    py::method<&primitives::copy<functor_type>>("__copy__"),
    py::method<&primitives::deepcopy<functor_type>>("__deepcopy__"),
    py::class_method<&from_json_method<"vesk.typing.Functor", functor_type>>("from_json"),
    py::class_method<&with_type_args<true>>("with_type_args"),
    py::class_method<&class_getitem<true>>("__class_getitem__"),
    py::kMethodsEnd,
};

}  // namespace

PyTypeObject* functor_type() {
    static py::TypeCell TYPE;
    PyTypeObject* base = callable_type();
    if (!base) return nullptr;
    return TYPE.get([&](py::TypeDef& t) {
        t.name("vesk_core._native.Functor")
            .doc("Functor(args=None, kw=None, returns=None, default=..., default_factory=None, "
                 "transform=None, is_noneable=False, frozen=False, strict=None)\n--\n\n"
                 "A Callable spec whose values are instances of the package's functor class.")
            .base(base)
            .final_()
            .slots({py::slot<Py_tp_new, &functor_tp_new>()})
            .vectorcall<&functor_vectorcall>()
            .methods(methods)
            .class_attr("__serialization_key__", "vesk.typing.Functor");
    });
}

}  // namespace vesk::typing::callable
