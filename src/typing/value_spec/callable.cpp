// Callable: the kind's constructor, its type-argument forms, its class and
// its entry in the kind dispatch. Functor (functor.cpp) shares all but the
// class.
#include "typing/value_spec/callable.hpp"

#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/type.hpp"
#include "typing/bridge.hpp"
#include "typing/value_spec/engine/kind_checks.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"
#include "typing/value_spec/format.hpp"
#include "typing/value_spec/from_json.hpp"
#include "typing/value_spec/primitives/kind_class.hpp"
#include "typing/value_spec/utils.hpp"

#include <utility>
#include <vector>

namespace vesk::typing::callable {

namespace {

// 1 when `obj` is given and tests true, 0 when omitted or false, -1 on error.
int given_and_true(PyObject* obj) { return obj ? PyObject_IsTrue(obj) : 0; }

// The argument specs: each item of the list converted, in order. Items are
// read one at a time under the list's lock, since a conversion may change
// the list.
py::Ref convert_args(PyObject* args) {
    const int truthy = given_and_true(args);
    if (truthy < 0) return {};
    py::Ref out = py::Ref::steal(PyList_New(0));
    if (!out || !truthy) return out;
    if (!PyList_Check(args)) {
        PyErr_Format(PyExc_TypeError,
                     "'args' should be a list of ValueSpec objects. Encountered: %R.", args);
        return {};
    }
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref item = py::list_item(args, i);
        if (!item) break;
        py::Ref spec = from_annotation(item.get());
        if (!spec || PyList_Append(out.get(), spec.get()) < 0) return {};
    }
    return out;
}

void raise_bad_kw(PyObject* kw) {
    PyErr_Format(PyExc_TypeError,
                 "'kw' should be a list of (name, value_spec) tuples. Encountered: %R.", kw);
}

// The keyword entries: every item checked first, then the checked pairs
// converted. The check keeps its own references to each (name, annotation)
// pair, so the conversions (Python code that may rewrite the caller's list)
// can neither slip an unchecked entry in nor pull a checked one away.
py::Ref convert_kw(PyObject* kw) {
    const int truthy = given_and_true(kw);
    if (truthy < 0) return {};
    py::Ref out = py::Ref::steal(PyList_New(0));
    if (!out || !truthy) return out;
    if (!PyList_Check(kw)) {
        raise_bad_kw(kw);
        return {};
    }
    std::vector<std::pair<py::Ref, py::Ref>> checked;
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref item = py::list_item(kw, i);
        if (!item) break;
        PyObject* entry = item.get();
        if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) != 2 ||
            !PyUnicode_Check(PyTuple_GET_ITEM(entry, 0))) {
            raise_bad_kw(kw);
            return {};
        }
        checked.emplace_back(py::Ref::borrow(PyTuple_GET_ITEM(entry, 0)),
                             py::Ref::borrow(PyTuple_GET_ITEM(entry, 1)));
    }
    for (const auto& [name, annotation] : checked) {
        py::Ref spec = from_annotation(annotation.get());
        if (!spec) return {};
        py::Ref pair = py::Ref::steal(PyTuple_Pack(2, name.get(), spec.get()));
        if (!pair || PyList_Append(out.get(), pair.get()) < 0) return {};
    }
    return out;
}

}  // namespace

std::optional<SpecEngine> callable_base(PyObject* args, PyObject* kw, PyObject* returns,
                                        py::Ref callable_type, bool is_functor,
                                        SpecCommon common) {
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return std::nullopt;
    CallableKind kind;
    kind.is_functor = is_functor;
    kind.args = convert_args(args);
    if (!kind.args) return std::nullopt;
    kind.kw = convert_kw(kw);
    if (!kind.kw) return std::nullopt;
    if (returns && returns != Py_None) {
        kind.returns = from_annotation(returns);
        if (!kind.returns) return std::nullopt;
    }
    py::Ref value_type = is_functor ? bridge->functor_cls : std::move(callable_type);
    return build_base(std::move(value_type), std::move(kind), std::move(common));
}

bool parse_callable_type_args(PyTypeObject* cls, PyObject* type_args, py::Ref& args,
                              py::Ref& returns) {
    py::Ref items = as_type_args(type_args);
    if (!items) return false;
    if (PyTuple_GET_SIZE(items.get()) != 2) {
        py::Ref name = py::Ref::steal(PyType_GetName(cls));
        if (name)
            PyErr_Format(PyExc_TypeError,
                         "`vk.typing.%U` requires 2 type arguments. Encountered: %S", name.get(),
                         items.get());
        return false;
    }
    PyObject* first = PyTuple_GET_ITEM(items.get(), 0);
    PyObject* second = PyTuple_GET_ITEM(items.get(), 1);
    // A tuple is passed on as it is: the constructor takes an empty one as
    // no arguments and refuses any other, as it does when called directly.
    if (PyList_Check(first) || PyTuple_Check(first))
        args = py::Ref::borrow(first);
    else if (first == Py_Ellipsis)
        args = py::Ref::steal(PyList_New(0));
    else if ((args = py::Ref::steal(PyList_New(1))))
        PyList_SET_ITEM(args.get(), 0, py::new_ref(first));
    if (!args) return false;
    returns = py::Ref::borrow(second == Py_None ? reinterpret_cast<PyObject*>(Py_TYPE(Py_None))
                                                : second);
    return true;
}

py::Ref make_callable_spec(PyObject* args, PyObject* returns, bool is_functor) {
    PyTypeObject* type = is_functor ? functor_type() : callable_type();
    if (!type) return {};
    return py::Ref::steal(primitives::wrap_built(
        type, callable_base(args, nullptr, returns, {}, is_functor, defaults())));
}

namespace {

py::Params<1> kTypeArgs{"with_type_args", {"type_args"}, 1, 1};

}  // namespace

template <bool IsFunctor>
PyObject* with_type_args(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kTypeArgs, args, nargs, kwnames, a)) return nullptr;
    py::Ref arg_list;
    py::Ref returns;
    if (!parse_callable_type_args(reinterpret_cast<PyTypeObject*>(cls), a[0], arg_list, returns))
        return nullptr;
    return make_callable_spec(arg_list.get(), returns.get(), IsFunctor).release();
}

template <bool IsFunctor>
PyObject* class_getitem(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return generic_getitem_result(
               py::Ref::steal(with_type_args<IsFunctor>(cls, args, nargs, kwnames)))
        .release();
}

template PyObject* with_type_args<false>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* with_type_args<true>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* class_getitem<false>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* class_getitem<true>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

namespace {

using primitives::CommonArgs;
using primitives::none_as_omitted;

enum Param : std::size_t {
    kArgs, kKw, kReturns, kDefault, kDefaultFactory, kTransform, kCallableType, kIsNoneable,
    kFrozen, kStrict, kParamCount,
};

py::Params<kParamCount> kParams{"Callable",
                                {"args", "kw", "returns", "default", "default_factory",
                                 "transform", "callable_type", "is_noneable", "frozen", "strict"},
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
    return primitives::wrap_built(
        type, callable_base(a[kArgs], a[kKw], none_as_omitted(a[kReturns]),
                            py::Ref::borrow(none_as_omitted(a[kCallableType])), false,
                            std::move(common)));
}

// `__new__` allocates the class it is called on, so Python subclasses get
// instances of themselves.
PyObject* callable_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::Args<kParamCount> a;
    if (!py::parse(kParams, args, kwds, a)) return nullptr;
    return construct(type, a);
}

PyObject* callable_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    py::Args<kParamCount> a;
    if (!py::parse(kParams, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    return construct(reinterpret_cast<PyTypeObject*>(type), a);
}

// The getters hand out the spec's own objects, read under a shared hold.
template <auto Member>
PyObject* get_member(PyObject* self) {
    py::SharedBorrow hold(spec_borrow(self));
    if (!hold.acquire()) return nullptr;
    const CallableKind* c = kind_as<CallableKind>(spec_engine(self).kind);
    PyObject* value = c ? (c->*Member).get() : nullptr;
    return py::new_ref(value ? value : Py_None);
}

PyMethodDef methods[] = {
    py::method<&primitives::copy<callable_type>>("__copy__"),
    py::method<&primitives::deepcopy<callable_type>>("__deepcopy__"),
    py::class_method<&from_json_method<"vesk.typing.Callable", callable_type>>("from_json"),
    py::class_method<&with_type_args<false>>("with_type_args"),
    py::class_method<&class_getitem<false>>("__class_getitem__"),
    py::kMethodsEnd,
};

PyGetSetDef getters[] = {
    py::getter<&primitives::skip_user_transform<callable_type>>("skip_user_transform"),
    py::getter<&get_member<&CallableKind::args>>("args",
                                                 "Value specs for positional arguments."),
    py::getter<&get_member<&CallableKind::kw>>(
        "kw", "Names and value specs for keyword arguments."),
    py::getter<&get_member<&CallableKind::returns>>(
        "return_value", "Value spec for the return value, or `None`."),
    py::kGettersEnd,
};

// Callable(args, kw, returns, default, default_factory, noneable, frozen,
// strict): the argument lists are left out while empty.
bool callable_format_items(SpecItems& items) {
    const CallableKind& c = std::get<CallableKind>(items.engine().kind);
    py::Ref empty = py::Ref::steal(PyList_New(0));
    return empty && items.add("args", c.args.get(), empty.get()) &&
           items.add("kw", c.kw.get(), empty.get()) &&
           items.add("returns", c.returns.get(), Py_None) && items.add_default() &&
           items.add_default_factory() && items.add_noneable() && items.add_frozen() &&
           items.add_strict();
}

const char* callable_label(const SpecKind& kind) {
    return std::get<CallableKind>(kind).is_functor ? "Functor" : "Callable";
}
const char* callable_key(const SpecKind& kind) {
    return std::get<CallableKind>(kind).is_functor ? "vesk.typing.Functor"
                                                   : "vesk.typing.Callable";
}
PyTypeObject* callable_class(const SpecKind& kind) {
    return std::get<CallableKind>(kind).is_functor ? functor_type() : callable_type();
}

// A deep copy of one argument list; it must stay a list.
bool deep_copy_list(py::Ref& list, PyObject* memo, const char* what) {
    py::Ref copied = deep_copy(list.get(), memo);
    if (!copied) return false;
    if (!PyList_Check(copied.get())) {
        PyErr_Format(PyExc_TypeError, "deep copy of Callable %s gave '%s', not a list", what,
                     Py_TYPE(copied.get())->tp_name);
        return false;
    }
    list = std::move(copied);
    return true;
}

// A deep copy gets its own argument lists and return spec.
int callable_deep_clone(SpecEngine& copy, PyObject* memo) {
    CallableKind& c = std::get<CallableKind>(copy.kind);
    if (!deep_copy_list(c.args, memo, "args") || !deep_copy_list(c.kw, memo, "kw")) return -1;
    if (c.returns) {
        py::Ref copied = deep_copy(c.returns.get(), memo);
        if (!copied) return -1;
        c.returns = std::move(copied);
    }
    return 0;
}

}  // namespace

PyTypeObject* callable_type() {
    static py::TypeCell TYPE;
    PyTypeObject* base = spec_base_type();
    if (!base) return nullptr;
    return TYPE.get([&](py::TypeDef& t) {
        t.name("vesk_core._native.Callable")
            .doc("Callable(args=None, kw=None, returns=None, default=..., default_factory=None, "
                 "transform=None, callable_type=None, is_noneable=False, frozen=False, "
                 "strict=None)\n--\n\n")
            .base(base)
            .subclassable()
            .slots({py::slot<Py_tp_new, &callable_tp_new>()})
            .vectorcall<&callable_vectorcall>()
            .methods(methods)
            .getters(getters)
            .class_attr("__serialization_key__", "vesk.typing.Callable");
    });
}

}  // namespace vesk::typing::callable

namespace vesk::typing {

const KindOps kCallableOps{
    .label = callable::callable_label,
    .serialization_key = callable::callable_key,
    .py_class = callable::callable_class,
    // The argument lists are handed out live and may change under the spec,
    // so its text is never cached.
    .repr_cacheable = false,
    .default_wrap_threshold = -1,
    .format_items = callable::callable_format_items,
    .shortcut = nullptr,
    .apply_kind = nullptr,
    .validate = validate_signature,
    .deep_clone_payload = callable::callable_deep_clone,
    .forward_refs = callable_forward_refs,
    .value_type_obj = nullptr,
};

}  // namespace vesk::typing
