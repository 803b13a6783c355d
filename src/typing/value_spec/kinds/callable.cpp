// Callable and Functor: specs of callable values, described by the specs of
// their positional arguments, the names and specs of their keyword
// arguments and the spec of their return value. Both share the Callable
// payload; `is_functor` tells them apart for the class, the annotation and
// the native class of a rebuilt spec. A Functor's value type is always the
// package's functor class; a Callable's is the `callable_type` it was given,
// unchecked, or none.
//
// Classes. `Callable` is the one kind class that Python code may subclass;
// `Functor` is its final native subclass, which replaces only construction,
// the members that make a new spec and its serialization key: everything
// else, the getters and `skip_user_transform` included, is Callable's.
#include "py/critical_section.hpp"
#include "py/named.hpp"
#include "typing/bridge.hpp"
#include "typing/value_spec/engine/apply.hpp"
#include "typing/value_spec/engine/by_name.hpp"
#include "typing/value_spec/engine/format.hpp"
#include "typing/value_spec/engine/forward_refs.hpp"
#include "typing/value_spec/kinds.hpp"
#include "typing/value_spec/spec_class/call.hpp"
#include "typing/value_spec/spec_class/extend_support.hpp"
#include "typing/value_spec/spec_class/json_write.hpp"
#include "typing/value_spec/spec_class/spec_class.hpp"
#include "typing/value_spec/spec_class/whole_spec.hpp"
#include "typing/value_spec/utilities/texts.hpp"
#include "typing/value_spec/utilities/type_args.hpp"

#include <utility>
#include <vector>

namespace vesk::typing {

namespace {

// --- construction -------------------------------------------------------------

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

// The one constructor of the kind. `args`, `kw` and `returns` may be null
// (omitted); `args` and `kw` also count as omitted when they test false.
// Every annotation is turned into a spec by the bridge's
// `value_spec_cls.from_annotation(a, auto_typing=True)`. `kw` is checked
// whole before any of its entries is converted, and the entries converted
// are the ones checked, whatever the conversions do to the caller's list.
// `callable_type` is dropped for a Functor.
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

// The positional-argument description and the return annotation of a class
// subscript `cls[[A, B], R]` / `cls[..., R]`; false with TypeError unless
// there are exactly two type arguments (the message names `cls`).
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

py::Params<1> kTypeArgsParams{"with_type_args", {"type_args"}, 1, 1};
py::Params<1> kClassGetitemParams{"__class_getitem__", {"type_args"}, 1, 1};

// `with_type_args(type_args)` on `cls` (Callable or Functor, or a Python
// subclass of either): always an instance of the native class, never of the
// subclass, which only names itself in the count error.
template <bool IsFunctor>
PyObject* with_type_args(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kTypeArgsParams, args, nargs, kwnames, a)) return nullptr;
    py::Ref arg_list;
    py::Ref returns;
    if (!parse_callable_type_args(reinterpret_cast<PyTypeObject*>(cls), a[0], arg_list, returns))
        return nullptr;
    PyTypeObject* type = IsFunctor ? functor_type() : callable_type();
    if (!type) return nullptr;
    return wrap_built(type, callable_base(arg_list.get(), nullptr, returns.get(), {}, IsFunctor,
                                          defaults()));
}

// `__class_getitem__`: the same through the generic-alias rule.
template <bool IsFunctor>
PyObject* class_getitem(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return generic_getitem_result(
               py::Ref::steal(with_type_args<IsFunctor>(cls, args, nargs, kwnames)))
        .release();
}

// --- the classes ----------------------------------------------------------------------

// The getters hand out the spec's own objects.
template <auto Member>
PyObject* get_member(const SpecRead& self) {
    const CallableKind* c = kind_as<CallableKind>(self->kind);
    PyObject* value = c ? (c->*Member).get() : nullptr;
    return py::new_ref(value ? value : Py_None);
}

template <bool IsFunctor>
PyMethodDef callable_methods[] = {
    py::class_method<&with_type_args<IsFunctor>>("with_type_args", kTypeArgsParams),
    py::class_method<&class_getitem<IsFunctor>>("__class_getitem__", kClassGetitemParams),
    py::kMethodsEnd,
};

PyGetSetDef callable_getters[] = {
    py::getter<&get_member<&CallableKind::args>>("args",
                                                 "Value specs for positional arguments."),
    py::getter<&get_member<&CallableKind::kw>>(
        "kw", "Names and value specs for keyword arguments."),
    py::getter<&get_member<&CallableKind::returns>>(
        "return_value", "Value spec for the return value, or `None`."),
    py::kGettersEnd,
};

template <bool IsFunctor>
std::optional<SpecEngine> callable_from_json(const JsonRow& row, SpecCommon common) {
    py::Ref args, kw, returns, callable_type;
    if (!row.field<"args">(args) || !row.field<"kw">(kw) || !row.field<"returns">(returns) ||
        !row.transform(common))
        return std::nullopt;
    if (!IsFunctor && !row.field<"callable_type">(callable_type)) return std::nullopt;
    return callable_base(none_as_omitted(args.get()), none_as_omitted(kw.get()),
                         none_as_omitted(returns.get()),
                         py::Ref::borrow(none_as_omitted(callable_type.get())), IsFunctor,
                         std::move(common));
}

// `__new__` allocates the class it is called on, so Python subclasses get
// instances of themselves.
struct CallableClass {
    static constexpr py::Literal kName{"Callable"};
    static constexpr const char* kParams[] = {
        "args=None", "kw=None", "returns=None", "default=...", "default_factory=None",
        "transform=None", "callable_type=None", "is_noneable=False", "frozen=False",
        "strict=None"};
    static constexpr Py_ssize_t kPositional = 10, kRequired = 0;
    static constexpr bool kSubclassable = true;

    static std::optional<SpecEngine> make(const py::Args<10>& a, SpecCommon common) {
        return callable_base(
            a[py::param_index(kParams, "args")], a[py::param_index(kParams, "kw")],
            none_as_omitted(a[py::param_index(kParams, "returns")]),
            py::Ref::borrow(none_as_omitted(a[py::param_index(kParams, "callable_type")])),
            false, std::move(common));
    }
    static std::optional<SpecEngine> read_json(const JsonRow& row, SpecCommon common) {
        return callable_from_json<false>(row, std::move(common));
    }
    static PyMethodDef* methods() { return callable_methods<false>; }
    static PyGetSetDef* getters() { return callable_getters; }
};

struct FunctorClass {
    static constexpr py::Literal kName{"Functor"};
    static constexpr const char* kParams[] = {
        "args=None", "kw=None", "returns=None", "default=...", "default_factory=None",
        "transform=None", "is_noneable=False", "frozen=False", "strict=None"};
    static constexpr Py_ssize_t kPositional = 9, kRequired = 0;
    static constexpr const char* kSummary =
        "A Callable spec whose values are instances of the package's functor class.";
    static constexpr bool kOwnSkipUserTransform = false;

    static std::optional<SpecEngine> make(const py::Args<9>& a, SpecCommon common) {
        return callable_base(a[py::param_index(kParams, "args")],
                             a[py::param_index(kParams, "kw")],
                             none_as_omitted(a[py::param_index(kParams, "returns")]), {}, true,
                             std::move(common));
    }
    static std::optional<SpecEngine> read_json(const JsonRow& row, SpecCommon common) {
        return callable_from_json<true>(row, std::move(common));
    }
    static PyTypeObject* base() { return callable_type(); }
    static PyMethodDef* methods() { return callable_methods<true>; }
};

// --- the kind's table ------------------------------------------------------------------

const CallableKind& callable_of(const SpecKind& kind) { return std::get<CallableKind>(kind); }

const KindClass& callable_class_of(const SpecKind& kind) {
    return callable_of(kind).is_functor ? SpecClass<FunctorClass>::kClass
                                        : SpecClass<CallableClass>::kClass;
}

// Callable(args, kw, returns, default, default_factory, noneable, frozen,
// strict): the argument lists are left out while empty.
bool callable_format_items(SpecItems& items) {
    const CallableKind& c = callable_of(items.engine().kind);
    py::Ref empty = py::Ref::steal(PyList_New(0));
    return empty && items.add("args", c.args.get(), empty.get()) &&
           items.add("kw", c.kw.get(), empty.get()) &&
           items.add("returns", c.returns.get(), Py_None) && items.add_default() &&
           items.add_default_factory() && items.add_noneable() && items.add_frozen() &&
           items.add_strict();
}

bool callable_write_json(SpecJsonWriter& w, const SpecEngine& e) {
    const CallableKind& c = callable_of(e.kind);
    return (PyList_Size(c.args.get()) == 0 || w.conv<"args">(c.args.get())) &&
           (PyList_Size(c.kw.get()) == 0 || w.conv<"kw">(c.kw.get())) &&
           w.conv_if<"returns">(c.returns) && w.conv_if<"transform">(e.transform) &&
           (c.is_functor || w.conv_if<"callable_type">(e.value_type)) &&
           w.noneable_strict_frozen(e);
}

// The bridge's `callable_validate(args, kw, returns or None, repr(spec),
// str(root_path), value)`; its result is ignored.
int callable_validate(const SpecEngine& engine, PyObject* value, PyObject* root_path) {
    const CallableKind& callable = callable_of(engine.kind);
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return -1;
    py::Ref text = repr(engine);
    if (!text) return -1;
    py::Ref path_text = path_text_of(root_path);
    if (!path_text) return -1;
    PyObject* args[] = {callable.args.get(), callable.kw.get(),
                        callable.returns ? callable.returns.get() : Py_None,
                        text.get(), path_text.get(), value};
    py::Ref result =
        py::Ref::steal(PyObject_Vectorcall(bridge->callable_validate.get(), args, 6, nullptr));
    return result ? 0 : -1;
}

// A new set with the refs of each argument spec, of each keyword entry's
// spec (item 1) and of the return spec.
py::Ref callable_forward_refs(const SpecEngine& engine) {
    const CallableKind& callable = callable_of(engine.kind);
    py::Ref refs = new_ref_set();
    if (!refs || add_forward_refs_of_items(refs.get(), callable.args.get(), RefsOf::Item) < 0 ||
        add_forward_refs_of_items(refs.get(), callable.kw.get(), RefsOf::Second) < 0)
        return {};
    if (callable.returns && add_forward_refs_of(refs.get(), callable.returns.get()) < 0) return {};
    return refs;
}

// typing.Callable[P, R] (P is Ellipsis with keyword entries, else the list
// of the argument annotations; R the return annotation, or None); a
// Functor's annotation is its value type.
py::Ref callable_annotation(const SpecEngine& e) {
    const CallableKind& c = callable_of(e.kind);
    if (c.is_functor) {
        if (e.value_type) return e.value_type;
        py::raise_internal("Functor has a value_type");
        return {};
    }
    py::Ref params;
    if (PyList_GET_SIZE(c.kw.get()) > 0) {
        params = py::Ref::borrow(Py_Ellipsis);
    } else {
        py::Ref each = annotations_of_items(c.args.get(), filled_annotation);
        if (!each) return {};
        params = py::Ref::steal(PySequence_List(each.get()));
    }
    if (!params) return {};
    py::Ref returns = c.returns ? filled_annotation(c.returns.get()) : py::Ref::borrow(Py_None);
    if (!returns) return {};
    py::Ref args = py::Ref::steal(PyTuple_Pack(2, params.get(), returns.get()));
    if (!args) return {};
    return typing_subscript<"Callable">(args.get());
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

int callable_equal(const SpecEngine& engine, PyObject* other) {
    const CallableKind& k = callable_of(engine.kind);
    int eq = eq_attr<"args">(k.args.get(), other);
    if (eq != 1) return eq;
    eq = eq_attr<"kw">(k.kw.get(), other);
    if (eq != 1) return eq;
    py::Ref returns = py::get_attr<"return_value">(other);
    if (!returns) return -1;
    if (!k.returns) return returns.get() == Py_None ? 1 : 0;
    return py_eq(k.returns.get(), returns.get());
}

// Against an Object spec: the class's `__call__`, when it is a plain
// function, must pass the receiver's own apply (any failure means no).
Decision callable_compatible_first(const SpecEngine&, PyObject* self, PyObject* other) {
    PyTypeObject* object_cls = object_type();
    if (!object_cls) return Decision::Error;
    if (!PyObject_TypeCheck(other, object_cls)) return Decision::Open;
    py::Ref cls = py::get_attr<"value_type">(other);
    if (!cls) return Decision::Error;
    py::Ref call = py::get_attr<"__call__">(cls.get());
    if (!call) {
        PyErr_Clear();
        return Decision::No;
    }
    PyObject* isfunction;
    if (!py::imported<"inspect", "isfunction">(isfunction)) return Decision::Error;
    py::Ref answer = py::Ref::steal(PyObject_CallOneArg(isfunction, call.get()));
    if (!answer) return Decision::Error;
    const int truthy = PyObject_IsTrue(answer.get());
    if (truthy != 1) return truthy < 0 ? Decision::Error : Decision::No;
    py::Ref applied = py::call_method<"apply">(self, call.get());
    if (!applied) {
        PyErr_Clear();
        return Decision::No;
    }
    return Decision::Yes;
}

int callable_compatible(const SpecEngine& engine, PyObject*, PyObject* other) {
    const CallableKind& k = callable_of(engine.kind);
    py::Ref args_attr = py::get_attr<"args">(other);
    if (!args_attr) return -1;
    py::Ref kw_attr = py::get_attr<"kw">(other);
    if (!kw_attr) return -1;
    py::Ref args = py::Ref::steal(PySequence_List(args_attr.get()));
    if (!args) return -1;
    // The other's keyword entries as a name -> spec map.
    py::Ref kw = py::Ref::steal(PyDict_New());
    if (!kw) return -1;
    if (PyDict_MergeFromSeq2(kw.get(), kw_attr.get(), 1) < 0) return -1;
    if (PyList_GET_SIZE(k.args.get()) > PyList_GET_SIZE(args.get()) ||
        PyList_GET_SIZE(k.kw.get()) > PyDict_GET_SIZE(kw.get()))
        return 0;
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref mine = py::list_item(k.args.get(), i);
        if (!mine) break;
        py::Ref theirs = py::list_item(args.get(), i);
        if (!theirs) return PyErr_Occurred() ? -1 : 0;
        const int c = spec_is_compatible(mine.get(), theirs.get());
        if (c != 1) return c;
    }
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref entry = py::list_item(k.kw.get(), i);
        if (!entry) break;
        // Entries are (name, spec) pairs built by the constructor, but the
        // list is handed out by the `kw` getter and may have been edited.
        if (!PyTuple_Check(entry.get()) || PyTuple_GET_SIZE(entry.get()) != 2) {
            PyErr_Format(PyExc_TypeError,
                         "Callable keyword entries must be (name, value spec) pairs. "
                         "Encountered: %R.",
                         entry.get());
            return -1;
        }
        PyObject* theirs = nullptr;
        const int found = PyDict_GetItemRef(kw.get(), PyTuple_GET_ITEM(entry.get(), 0), &theirs);
        if (found != 1) return found;
        py::Ref held = py::Ref::steal(theirs);
        const int c = spec_is_compatible(PyTuple_GET_ITEM(entry.get(), 1), theirs);
        if (c != 1) return c;
    }
    if (!k.returns) return 1;
    py::Ref returns = py::get_attr<"return_value">(other);
    if (!returns) return -1;
    if (returns.get() == Py_None) return 1;
    return spec_is_compatible(k.returns.get(), returns.get());
}

// `list(obj.Name)` when `own.Name` is empty, else nothing. 0 or -1.
template <py::Literal Name>
int take_when_empty(PyObject* child, PyObject* base, py::Ref& out) {
    py::Ref own = py::get_attr<Name>(child);
    if (!own) return -1;
    const Py_ssize_t n = PyObject_Length(own.get());
    if (n != 0) return n < 0 ? -1 : 0;
    py::Ref theirs = py::get_attr<Name>(base);
    if (!theirs) return -1;
    out = py::Ref::steal(PySequence_List(theirs.get()));
    return out ? 0 : -1;
}

// Keyword entries are read as (name, spec) pairs wherever the spec is used
// again: a base offering anything else is refused before it is stored.
int check_kw_entries(PyObject* kw) {
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref entry = py::list_item(kw, i);
        if (!entry) return 0;
        if (!PyTuple_Check(entry.get()) || PyTuple_GET_SIZE(entry.get()) != 2) {
            PyErr_Format(PyExc_TypeError,
                         "'kw' should be a list of (name, value_spec) tuples. Encountered: %R.",
                         kw);
            return -1;
        }
    }
}

// What the child leaves open (no arguments, no keywords, no return spec)
// comes from the base; what it states stays, unchecked.
int callable_extend(SpecScope child_scope, PyObject* base) {
    PyObject* child = child_scope.object();
    py::Ref args, kw, returns;
    if (take_when_empty<"args">(child, base, args) < 0 ||
        take_when_empty<"kw">(child, base, kw) < 0)
        return -1;
    if (kw && check_kw_entries(kw.get()) < 0) return -1;
    py::Ref own_returns = py::get_attr<"return_value">(child);
    if (!own_returns) return -1;
    if (own_returns.get() == Py_None) {
        py::Ref theirs = py::get_attr<"return_value">(base);
        if (!theirs) return -1;
        if (theirs.get() != Py_None) returns = std::move(theirs);
    }
    if (!args && !kw && !returns) return 0;
    return extension::with_child_held(child_scope, [&](SpecEngine& engine) {
        CallableKind& callable = std::get<CallableKind>(engine.kind);
        if (args) callable.args.swap(args);
        if (kw) callable.kw.swap(kw);
        if (returns) callable.returns.swap(returns);
        return 0;
    });
}

}  // namespace

PyTypeObject* callable_type() { return SpecClass<CallableClass>::type(); }

PyTypeObject* functor_type() { return SpecClass<FunctorClass>::type(); }

constinit const KindOps CallableKind::ops{
    .class_of = callable_class_of,
    // The argument lists are handed out live and may change under the spec,
    // so its text is never cached.
    .repr_cacheable = false,
    .default_wrap_threshold = -1,
    .format_items = callable_format_items,
    .write_json = callable_write_json,
    .derived_default = kCommon,
    .keep_default_origin = kCommon,
    .shows_default = kCommon,
    .settle_options = kCommon,
    .shortcut = kCommon,
    .coerce = kCommon,
    .apply_kind = kCommon,
    .validate = callable_validate,
    .forward_refs = callable_forward_refs,
    .value_type_obj = kCommon,
    .annotation = callable_annotation,
    .optional_when_noneable = true,
    .leaf = kCommon,
    .descends = false,
    .constrains = true,
    .strict_children = kCommon,  // argument specs describe calls, not field values
    .deep_clone_payload = callable_deep_clone,
    .equal = callable_equal,
    .compatible_first = callable_compatible_first,
    .compatible = callable_compatible,
    .call = refuse_call,
    .noneable = kCommon,
    .extend = callable_extend,
};

}  // namespace vesk::typing
