// Tuple: the spec of a Python tuple, either fixed (one element spec per
// position) or variable (one element spec for every item, within optional
// length bounds).
//
// Equal bounds make a fixed form whose positions share the element spec;
// they materialise one field per position, which is capped at
// kMaxFixedPositions. Equal bounds of 0 make the one fixed form without
// positions, which a list of positions given to the constructor cannot
// (an empty list is refused) but the JSON reader can.
#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/lazy.hpp"
#include "py/type.hpp"
#include "typing/bridge.hpp"
#include "typing/key_specs/key_specs.hpp"
#include "typing/value_spec/containers/containers.hpp"
#include "typing/value_spec/containers/element_apply.hpp"
#include "typing/value_spec/engine/kind_checks.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"
#include "typing/value_spec/format.hpp"
#include "typing/value_spec/from_json.hpp"
#include "typing/value_spec/primitives/kind_class.hpp"
#include "typing/value_spec/utils.hpp"

#include <vector>

namespace vesk::typing::containers {

using primitives::convert_common;
using primitives::read_kind;
using primitives::wrap_built;

namespace {

// `field_cls(TupleKey(index), spec, description)`; `index` null is
// TupleKey(None), the key of the variable form.
py::Ref make_field(const TypingBridge& bridge, PyTypeObject* key_type, PyObject* index,
                   PyObject* spec, PyObject* description) {
    PyObject* key_arg = index ? index : Py_None;
    py::Ref key = py::Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(key_type), key_arg));
    if (!key) return {};
    PyObject* args[] = {key.get(), spec, description};
    return py::Ref::steal(PyObject_Vectorcall(bridge.field_cls.get(), args, 3, nullptr));
}

// The fixed form over `count` positions; position i takes `specs[i]`, or
// `shared` for every position when given.
std::optional<SpecEngine> build_fixed(const std::vector<py::Ref>& specs, PyObject* shared,
                                      Py_ssize_t count, SpecCommon common) {
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return std::nullopt;
    PyTypeObject* key_type = key_specs::tuple_key_type();
    if (!key_type) return std::nullopt;
    py::Ref fields = py::Ref::steal(PyList_New(count));
    if (!fields) return std::nullopt;
    for (Py_ssize_t i = 0; i < count; ++i) {
        py::Ref index = py::Ref::steal(PyLong_FromSsize_t(i));
        py::Ref description =
            py::Ref::steal(PyUnicode_FromFormat("Field of tuple element at %zd", i));
        if (!index || !description) return std::nullopt;
        PyObject* spec = shared ? shared : specs[static_cast<std::size_t>(i)].get();
        py::Ref field = make_field(*bridge, key_type, index.get(), spec, description.get());
        if (!field) return std::nullopt;
        PyList_SET_ITEM(fields.get(), i, field.release());  // a new list, not yet shared
    }
    TupleKind payload;
    payload.max_size = count;
    payload.elements = std::move(fields);
    payload.min_size = count;
    payload.fixed_length = true;
    return build_base(py::Ref::borrow(reinterpret_cast<PyObject*>(&PyTuple_Type)),
                      std::move(payload), std::move(common));
}

std::optional<SpecEngine> fixed_new(PyObject* element_values, const SizeArgs& sizes,
                                    SpecCommon common, EmptyFixed empty) {
    const Py_ssize_t length = PyObject_Size(element_values);
    if (length < 0) return std::nullopt;
    if (length == 0 && empty == EmptyFixed::Refuse) {
        PyErr_SetString(PyExc_ValueError, "Argument 'element_values' must be a non-empty list.");
        return std::nullopt;
    }
    if (any_size_given(sizes)) {
        PyErr_Format(PyExc_ValueError,
                     "\"size\", \"min_size\" and \"max_size\" are not applicable for "
                     "fixed-length Tuple with elements: %R",
                     element_values);
        return std::nullopt;
    }
    // Iterated through the interpreter, so a list changed meanwhile by
    // another thread yields one consistent pass; its positions are what was
    // read.
    py::Ref iter = py::Ref::steal(PyObject_GetIter(element_values));
    if (!iter) return std::nullopt;
    std::vector<py::Ref> specs;
    while (py::Ref item = py::Ref::steal(PyIter_Next(iter.get()))) {
        py::Ref spec = from_annotation(item.get());
        if (!spec) return std::nullopt;
        specs.push_back(std::move(spec));
    }
    if (PyErr_Occurred()) return std::nullopt;
    return build_fixed(specs, nullptr, static_cast<Py_ssize_t>(specs.size()), std::move(common));
}

std::optional<SpecEngine> variable_new(PyObject* element_value, const SizeArgs& args,
                                       SpecCommon common) {
    py::Ref element = from_annotation(element_value);
    if (!element) return std::nullopt;
    Sizes sizes;
    if (!resolve_sizes(args, sizes)) return std::nullopt;
    if (sizes.max && *sizes.max == sizes.min) {
        if (sizes.min > kMaxFixedPositions) {
            PyErr_Format(PyExc_ValueError,
                         "A Tuple whose \"min_size\" equals \"max_size\" is built as that many "
                         "fixed positions, at most %lld. Encountered: %lld.",
                         static_cast<long long>(kMaxFixedPositions),
                         static_cast<long long>(sizes.min));
            return std::nullopt;
        }
        return build_fixed({}, element.get(), static_cast<Py_ssize_t>(sizes.min),
                           std::move(common));
    }

    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return std::nullopt;
    PyTypeObject* key_type = key_specs::tuple_key_type();
    if (!key_type) return std::nullopt;
    py::Ref description =
        py::Ref::steal(PyUnicode_FromString("Field of variable-length tuple element"));
    if (!description) return std::nullopt;
    py::Ref field = make_field(*bridge, key_type, nullptr, element.get(), description.get());
    if (!field) return std::nullopt;
    py::Ref fields = py::Ref::steal(PyList_New(1));
    if (!fields) return std::nullopt;
    PyList_SET_ITEM(fields.get(), 0, field.release());  // a new list, not yet shared

    TupleKind payload;
    payload.max_size = sizes.max;
    payload.elements = std::move(fields);
    payload.min_size = sizes.min;
    payload.fixed_length = false;
    return build_base(py::Ref::borrow(reinterpret_cast<PyObject*>(&PyTuple_Type)),
                      std::move(payload), std::move(common));
}

}  // namespace

std::optional<SpecEngine> tuple_new(PyObject* element_values, SizeArgs sizes,
                                    SpecCommon common, EmptyFixed empty) {
    if (!fold_size_aliases("Tuple", sizes)) return std::nullopt;
    if (PyList_Check(element_values) || PyTuple_Check(element_values))
        return fixed_new(element_values, sizes, std::move(common), empty);
    return variable_new(element_values, sizes, std::move(common));
}

namespace {

// --- construction -------------------------------------------------------------

enum Param : std::size_t {
    kElementValues, kDefault, kDefaultFactory, kMinSize, kMaxSize, kSize, kTransform,
    kIsNoneable, kFrozen, kStrict, kMinLength, kMaxLength, kParamCount,
};

py::Params<kParamCount> kParams{
    "Tuple",
    {"element_values", "default", "default_factory", "min_size", "max_size", "size", "transform",
     "is_noneable", "frozen", "strict", "min_length", "max_length"},
    10,
    1};

PyObject* construct(PyTypeObject* type, const py::Args<kParamCount>& a) {
    SpecCommon common;
    if (!convert_common({.default_value = a[kDefault],
                         .default_factory = a[kDefaultFactory],
                         .transform = a[kTransform],
                         .is_noneable = a[kIsNoneable],
                         .frozen = a[kFrozen],
                         .strict = a[kStrict]},
                        common))
        return nullptr;
    SizeArgs sizes;
    if (!read_size_arg("min_size", a[kMinSize], sizes.min_size) ||
        !read_size_arg("max_size", a[kMaxSize], sizes.max_size) ||
        !read_size_arg("size", a[kSize], sizes.size) ||
        !read_size_arg("min_length", a[kMinLength], sizes.min_length) ||
        !read_size_arg("max_length", a[kMaxLength], sizes.max_length))
        return nullptr;
    return wrap_built(type, tuple_new(a[kElementValues], sizes, std::move(common)));
}

PyObject* tuple_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::Args<kParamCount> a;
    if (!py::parse(kParams, args, kwds, a)) return nullptr;
    return construct(type, a);
}

PyObject* tuple_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames) {
    py::Args<kParamCount> a;
    if (!py::parse(kParams, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    return construct(reinterpret_cast<PyTypeObject*>(type), a);
}

// --- type arguments -------------------------------------------------------------

py::Params<1> kTypeArgs{"with_type_args", {"type_args"}, 1, 1};

// `Tuple[X, ...]` is the variable form of X; any other arguments the fixed
// form of all of them (an Ellipsis elsewhere included).
py::Ref build_from_type_args(PyObject* type_args) {
    PyTypeObject* type = tuple_type();
    if (!type) return {};
    py::Ref items = as_type_args(type_args);
    if (!items) return {};
    PyObject* ellipsis = py::imported<"builtins", "Ellipsis">();
    if (!ellipsis) return {};
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return {};
    SpecCommon common = defaults();
    common.default_value = bridge->missing_value;
    PyObject* element_values = items.get();
    if (PyTuple_GET_SIZE(items.get()) == 2 && PyTuple_GET_ITEM(items.get(), 1) == ellipsis)
        element_values = PyTuple_GET_ITEM(items.get(), 0);
    const bool fixed = element_values == items.get();
    return py::Ref::steal(wrap_built(
        type, fixed ? fixed_new(element_values, SizeArgs{}, std::move(common), EmptyFixed::Refuse)
                    : variable_new(element_values, SizeArgs{}, std::move(common))));
}

PyObject* with_type_args(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kTypeArgs, args, nargs, kwnames, a)) return nullptr;
    return build_from_type_args(a[0]).release();
}

PyObject* class_getitem(PyObject*, PyObject* type_args) {
    return generic_getitem_result(build_from_type_args(type_args)).release();
}

// --- getters ----------------------------------------------------------------------

// The spec's own list, not a copy.
PyObject* get_elements(PyObject* self) {
    return read_kind<TupleKind>(self,
                                [](const TupleKind& t) { return py::new_ref(t.elements.get()); });
}
PyObject* get_fixed_length(PyObject* self) {
    return read_kind<TupleKind>(self,
                                [](const TupleKind& t) { return py::boolean(t.fixed_length); });
}
PyObject* get_min_size(PyObject* self) {
    return read_kind<TupleKind>(self,
                                [](const TupleKind& t) { return PyLong_FromLongLong(t.min_size); });
}
PyObject* get_max_size(PyObject* self) {
    return read_kind<TupleKind>(self, [](const TupleKind& t) { return size_object(t.max_size); });
}

// len(): the number of positions of a fixed form, 0 for a variable one.
Py_ssize_t tuple_length(PyObject* self) {
    py::SharedBorrow hold(spec_borrow(self));
    if (!hold.acquire()) return -1;
    const TupleKind* tuple = kind_as<TupleKind>(spec_engine(self).kind);
    if (!tuple || !tuple->fixed_length) return 0;
    return PyList_Size(tuple->elements.get());
}

PyMethodDef methods[] = {
    py::method<&primitives::copy<tuple_type>>("__copy__"),
    py::method<&primitives::deepcopy<tuple_type>>("__deepcopy__"),
    py::class_method<&from_json_method<"vesk.typing.Tuple", tuple_type>>("from_json"),
    py::class_method<&with_type_args>("with_type_args"),
    py::class_method<&class_getitem>("__class_getitem__"),
    py::kMethodsEnd,
};

PyGetSetDef getters[] = {
    py::getter<&primitives::skip_user_transform<tuple_type>>("skip_user_transform"),
    py::getter<&get_elements>("elements"),
    py::getter<&get_fixed_length>("fixed_length"),
    py::getter<&get_min_size>("min_size"),
    py::getter<&get_max_size>("max_size"),
    py::kGettersEnd,
};

// --- engine entry ------------------------------------------------------------------

// The element field at `index` of the payload's list, read under its lock;
// IndexError when the list was shortened through `elements`.
py::Ref field_at(const TupleKind& tuple, Py_ssize_t index) {
    py::Ref field = py::list_item(tuple.elements.get(), index);
    if (!field) PyErr_SetString(PyExc_IndexError, "list index out of range");
    return field;
}

// Variable: Tuple(element, default, default_factory, min_size, max_size,
// noneable, frozen, strict). Fixed: Tuple([elements], ...) with the sizes
// never shown (each is omitted when equal to itself).
bool tuple_format_items(SpecItems& items) {
    const TupleKind& tuple = std::get<TupleKind>(items.engine().kind);
    py::Ref positional = tuple_element_values(tuple);
    if (!positional) return false;
    PyObject* zero = py::constant_int<0>();
    if (!zero) return false;
    py::Ref min = py::Ref::steal(PyLong_FromLongLong(tuple.min_size));
    py::Ref max = py::Ref::steal(size_object(tuple.max_size));
    if (!min || !max) return false;
    PyObject* omit_min = tuple.fixed_length ? min.get() : zero;
    PyObject* omit_max = tuple.fixed_length ? max.get() : Py_None;
    return items.add("", positional.get(), Py_None) && items.add_default() &&
           items.add_default_factory() && items.add("min_size", min.get(), omit_min) &&
           items.add("max_size", max.get(), omit_max) && items.add_noneable() &&
           items.add_frozen() && items.add_strict();
}

const char* tuple_label(const SpecKind&) { return "Tuple"; }
const char* tuple_key(const SpecKind&) { return "vesk.typing.Tuple"; }
PyTypeObject* tuple_class(const SpecKind&) { return tuple_type(); }

// A deep copy gets its own list of element fields.
int tuple_deep_clone(SpecEngine& copy, PyObject* memo) {
    TupleKind& tuple = std::get<TupleKind>(copy.kind);
    py::Ref elements = deep_copy(tuple.elements.get(), memo);
    if (!elements) return -1;
    if (!PyList_Check(elements.get())) {
        PyErr_Format(PyExc_TypeError, "deep copy of Tuple elements must be a list, not %.200s",
                     Py_TYPE(elements.get())->tp_name);
        return -1;
    }
    tuple.elements = std::move(elements);
    return 0;
}

py::Ref tuple_apply(const SpecEngine& engine, py::Ref value, const ApplyOptions& options,
                    PyObject* path_text) {
    const TupleKind& tuple = std::get<TupleKind>(engine.kind);
    const Py_ssize_t n = PyObject_Size(value.get());
    if (n < 0) return {};
    if (tuple.fixed_length) {
        const Py_ssize_t positions = PyList_Size(tuple.elements.get());
        if (n != positions) {
            py::Ref text = repr(engine);
            if (!text) return {};
            PyErr_Format(PyExc_ValueError,
                         "Length of input tuple (%zd) does not match the length of spec (%zd). "
                         "Input: %S, Spec: %U (path=%S)",
                         n, positions, value.get(), text.get(), path_text);
            return {};
        }
    } else if (n < tuple.min_size) {
        PyErr_Format(PyExc_ValueError,
                     "Length of tuple %S is less than min size (%lld). (path=%S)", value.get(),
                     static_cast<long long>(tuple.min_size), path_text);
        return {};
    } else if (tuple.max_size && n > *tuple.max_size) {
        PyErr_Format(PyExc_ValueError,
                     "Length of tuple %S is greater than max size (%lld). (path=%S)",
                     value.get(), static_cast<long long>(*tuple.max_size), path_text);
        return {};
    }

    const bool with_transform = options.child_transform != nullptr;
    py::Ref results = py::Ref::steal(PyTuple_New(n));
    if (!results) return {};
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::Ref item = py::Ref::steal(PySequence_GetItem(value.get(), i));
        if (!item) return {};
        py::Ref field = field_at(tuple, tuple.fixed_length ? i : 0);
        if (!field) return {};
        py::Ref callee = with_transform ? field : py::get_attr<"value">(field.get());
        if (!callee) return {};
        py::Ref path = element_path(options, i);
        if (!path) return {};
        py::Ref result =
            apply_element(callee.get(), item.get(), options, path.get(), with_transform);
        if (!result) return {};
        PyTuple_SET_ITEM(results.get(), i, result.release());  // a new tuple, not yet shared
    }
    return results;
}

}  // namespace

py::Ref tuple_element_values(const TupleKind& tuple) {
    if (!tuple.fixed_length) {
        py::Ref field = field_at(tuple, 0);
        return field ? py::get_attr<"value">(field.get()) : py::Ref{};
    }
    py::Ref specs = py::Ref::steal(PyList_New(0));
    if (!specs) return {};
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref field = py::list_item(tuple.elements.get(), i);
        if (!field) break;
        py::Ref spec = py::get_attr<"value">(field.get());
        if (!spec || PyList_Append(specs.get(), spec.get()) < 0) return {};
    }
    return specs;
}

PyTypeObject* tuple_type() {
    static py::TypeCell TYPE;
    PyTypeObject* base = spec_base_type();
    if (!base) return nullptr;
    return TYPE.get([&](py::TypeDef& t) {
        t.name("vesk_core._native.Tuple")
            .doc("Tuple(element_values, default=..., default_factory=None, min_size=None, "
                 "max_size=None, size=None, transform=None, is_noneable=False, frozen=False, "
                 "strict=None, *, min_length=None, max_length=None)\n--\n\n")
            .base(base)
            .final_()
            .slots({py::slot<Py_tp_new, &tuple_tp_new>(),
                    py::slot<Py_mp_length, &tuple_length>()})
            .vectorcall<&tuple_vectorcall>()
            .methods(methods)
            .getters(getters)
            .class_attr("__serialization_key__", "vesk.typing.Tuple");
    });
}

}  // namespace vesk::typing::containers

namespace vesk::typing {

const KindOps kTupleOps{
    .label = containers::tuple_label,
    .serialization_key = containers::tuple_key,
    .py_class = containers::tuple_class,
    .repr_cacheable = false,
    .default_wrap_threshold = -1,
    .format_items = containers::tuple_format_items,
    .shortcut = nullptr,
    .apply_kind = containers::tuple_apply,
    .validate = nullptr,
    .deep_clone_payload = containers::tuple_deep_clone,
    .forward_refs = tuple_forward_refs,
    .value_type_obj = nullptr,
};

}  // namespace vesk::typing
