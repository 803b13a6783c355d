// List: the spec of a Python list whose elements all follow one element
// spec, with optional length bounds and the two storage declarations
// (`symbolic`, `auto_wrap`) that symbolic containers read.
#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/lazy.hpp"
#include "py/type.hpp"
#include "typing/bridge.hpp"
#include "typing/fast_types.hpp"
#include "typing/funnel/classify.hpp"
#include "typing/key_specs/key_specs.hpp"
#include "typing/value_spec/containers/containers.hpp"
#include "typing/value_spec/containers/element_apply.hpp"
#include "typing/value_spec/engine/kind_checks.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"
#include "typing/value_spec/format.hpp"
#include "typing/value_spec/from_json.hpp"
#include "typing/value_spec/primitives/kind_class.hpp"
#include "typing/value_spec/primitives/primitives.hpp"
#include "typing/value_spec/utils.hpp"

namespace vesk::typing::containers {

using primitives::convert_common;
using primitives::read_kind;
using primitives::wrap_built;

std::optional<SpecEngine> list_new(ListArgs args, SpecCommon common) {
    if (!fold_size_aliases("List", args.sizes)) return std::nullopt;
    py::Ref element = from_annotation(args.element_value);
    if (!element) return std::nullopt;
    Sizes sizes;
    if (!resolve_sizes(args.sizes, sizes)) return std::nullopt;

    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return std::nullopt;
    PyTypeObject* key_type = key_specs::list_key_type();
    if (!key_type) return std::nullopt;
    py::Ref min = py::Ref::steal(PyLong_FromLongLong(sizes.min));
    py::Ref max = py::Ref::steal(size_object(sizes.max));
    if (!min || !max) return std::nullopt;
    PyObject* key_args[] = {min.get(), max.get()};
    py::Ref key = py::Ref::steal(
        PyObject_Vectorcall(reinterpret_cast<PyObject*>(key_type), key_args, 2, nullptr));
    if (!key) return std::nullopt;
    py::Ref description = py::Ref::steal(PyUnicode_FromString("Field of list element"));
    if (!description) return std::nullopt;
    PyObject* field_args[] = {key.get(), element.get(), description.get()};
    py::Ref field =
        py::Ref::steal(PyObject_Vectorcall(bridge->field_cls.get(), field_args, 3, nullptr));
    if (!field) return std::nullopt;

    ListKind payload;
    payload.max_size = sizes.max;
    payload.element = std::move(element);
    payload.element_field = std::move(field);
    payload.min_size = sizes.min;
    payload.auto_wrap = args.auto_wrap;
    payload.symbolic = args.symbolic;
    return build_base(py::Ref::borrow(reinterpret_cast<PyObject*>(&PyList_Type)),
                      std::move(payload), std::move(common));
}

namespace {

// --- construction -------------------------------------------------------------

enum Param : std::size_t {
    kElementValue, kDefault, kDefaultFactory, kMinSize, kMaxSize, kSize, kTransform,
    kIsNoneable, kFrozen, kStrict, kMinLength, kMaxLength, kSymbolic, kAutoWrap, kParamCount,
};

py::Params<kParamCount> kParams{
    "List",
    {"element_value", "default", "default_factory", "min_size", "max_size", "size", "transform",
     "is_noneable", "frozen", "strict", "min_length", "max_length", "symbolic", "auto_wrap"},
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
    ListArgs args;
    args.element_value = a[kElementValue];
    if (!read_size_arg("min_size", a[kMinSize], args.sizes.min_size) ||
        !read_size_arg("max_size", a[kMaxSize], args.sizes.max_size) ||
        !read_size_arg("size", a[kSize], args.sizes.size) ||
        !read_size_arg("min_length", a[kMinLength], args.sizes.min_length) ||
        !read_size_arg("max_length", a[kMaxLength], args.sizes.max_length) ||
        !py::opt_bool("auto_wrap", a[kAutoWrap], true, args.auto_wrap))
        return nullptr;
    if (PyObject* symbolic = primitives::none_as_omitted(a[kSymbolic])) {
        bool b = false;
        if (!py::arg_bool("symbolic", symbolic, b)) return nullptr;
        args.symbolic = tri_from_bool(b);
    }
    return wrap_built(type, list_new(std::move(args), std::move(common)));
}

PyObject* list_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::Args<kParamCount> a;
    if (!py::parse(kParams, args, kwds, a)) return nullptr;
    return construct(type, a);
}

PyObject* list_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames) {
    py::Args<kParamCount> a;
    if (!py::parse(kParams, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    return construct(reinterpret_cast<PyTypeObject*>(type), a);
}

// --- type arguments -------------------------------------------------------------

py::Params<1> kTypeArgs{"with_type_args", {"type_args"}, 1, 1};

// `List[X]`: exactly one item; the error carries two arguments, the second
// naming the arguments as passed.
py::Ref build_from_type_args(PyObject* type_args) {
    PyTypeObject* type = list_type();
    if (!type) return {};
    py::Ref items = as_type_args(type_args);
    if (!items) return {};
    if (PyTuple_GET_SIZE(items.get()) != 1) {
        py::Ref error = py::Ref::steal(
            Py_BuildValue("(sN)", "`vk.typing.List` requires 1 type argument. ",
                          PyUnicode_FromFormat("Encountered: %S.", type_args)));
        if (error) PyErr_SetObject(PyExc_TypeError, error.get());
        return {};
    }
    ListArgs args;
    args.element_value = PyTuple_GET_ITEM(items.get(), 0);
    SpecCommon common = defaults();
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return {};
    common.default_value = bridge->missing_value;
    return py::Ref::steal(wrap_built(type, list_new(std::move(args), std::move(common))));
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

PyObject* get_element(PyObject* self) {
    return read_kind<ListKind>(self, [](const ListKind& l) {
        return py::new_ref(l.element_field.get());
    });
}
PyObject* get_symbolic(PyObject* self) {
    return read_kind<ListKind>(self, [](const ListKind& l) {
        return py::new_ref(l.symbolic == Tri::Unset  ? Py_None
                           : l.symbolic == Tri::True ? Py_True
                                                     : Py_False);
    });
}
PyObject* get_auto_wrap(PyObject* self) {
    return read_kind<ListKind>(self, [](const ListKind& l) { return py::boolean(l.auto_wrap); });
}
// A list spec offers no nested bulk check: callers apply each element.
PyObject* get_nested_dict_bulk_check(PyObject*) { return py::none(); }
PyObject* get_min_size(PyObject* self) {
    return read_kind<ListKind>(self,
                               [](const ListKind& l) { return PyLong_FromLongLong(l.min_size); });
}
PyObject* get_max_size(PyObject* self) {
    return read_kind<ListKind>(self, [](const ListKind& l) { return size_object(l.max_size); });
}

PyMethodDef methods[] = {
    py::method<&primitives::copy<list_type>>("__copy__"),
    py::method<&primitives::deepcopy<list_type>>("__deepcopy__"),
    py::class_method<&from_json_method<"vesk.typing.List", list_type>>("from_json"),
    py::class_method<&with_type_args>("with_type_args"),
    py::class_method<&class_getitem>("__class_getitem__"),
    py::kMethodsEnd,
};

PyGetSetDef getters[] = {
    py::getter<&primitives::skip_user_transform<list_type>>("skip_user_transform"),
    py::getter<&get_element>("element"),
    py::getter<&get_symbolic>("symbolic"),
    py::getter<&get_auto_wrap>("auto_wrap"),
    py::getter<&get_element>("_element"),
    py::getter<&get_nested_dict_bulk_check>("_nested_dict_bulk_check"),
    py::getter<&get_min_size>("min_size"),
    py::getter<&get_max_size>("max_size"),
    py::kGettersEnd,
};

// --- engine entry ------------------------------------------------------------------

// List(element, symbolic, auto_wrap, min_size, max_size, default,
// default_factory, noneable, frozen, strict)
bool list_format_items(SpecItems& items) {
    const ListKind& list = std::get<ListKind>(items.engine().kind);
    PyObject* zero = py::constant_int<0>();
    if (!zero) return false;
    py::Ref min = py::Ref::steal(PyLong_FromLongLong(list.min_size));
    py::Ref max = py::Ref::steal(size_object(list.max_size));
    if (!min || !max) return false;
    PyObject* symbolic = list.symbolic == Tri::Unset  ? Py_None
                         : list.symbolic == Tri::True ? Py_True
                                                      : Py_False;
    return items.add("", list.element.get(), Py_None) &&
           items.add("symbolic", symbolic, Py_None) &&
           items.add("auto_wrap", list.auto_wrap ? Py_True : Py_False, Py_True) &&
           items.add("min_size", min.get(), zero) && items.add("max_size", max.get(), Py_None) &&
           items.add_default() && items.add_default_factory() && items.add_noneable() &&
           items.add_frozen() && items.add_strict();
}

const char* list_label(const SpecKind&) { return "List"; }
const char* list_key(const SpecKind&) { return "vesk.typing.List"; }
PyTypeObject* list_class(const SpecKind&) { return list_type(); }

// A deep copy gets its own element field; the element spec is that copy's
// `value`, so the two never drift apart.
int list_deep_clone(SpecEngine& copy, PyObject* memo) {
    ListKind& list = std::get<ListKind>(copy.kind);
    py::Ref field = deep_copy(list.element_field.get(), memo);
    if (!field) return -1;
    py::Ref element = py::get_attr<"value">(field.get());
    if (!element) return -1;
    list.element_field = std::move(field);
    list.element = std::move(element);
    return 0;
}

// Without auto_wrap the child transform stops at this list. The container
// fast path has not been added yet, so the rest is left to the full road.
Shortcut list_shortcut(const SpecEngine& engine, PyObject*, PyObject*, ApplyOptions& options,
                       py::Ref&) {
    if (!std::get<ListKind>(engine.kind).auto_wrap) options.child_transform = nullptr;
    return Shortcut::Undecided;
}

// The optional attribute `name` of `obj`; a failed lookup counts as absent.
py::Ref optional_attr(PyObject* obj, PyObject* name) {
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(obj, name, &found) < 0) PyErr_Clear();
    return py::Ref::steal(found);
}

// Which elements need no apply: exact instances of the element spec's exact
// leaf class, or fast values under a native Any. A child transform that does
// not declare itself an identity on scalars turns the rule off.
struct SkipRule {
    PyObject* leaf = nullptr;  // skip exact instances of this class
    bool any_fast = false;     // skip values fast for Any
    bool containers = false;   // dict and list count as fast
    py::Ref keep;              // owns `leaf`
};

bool skip_rule(const ListKind& list, const ApplyOptions& options, SkipRule& out) {
    if (options.child_transform) {
        PyObject* name = py::intern<"_vesk_scalar_identity">();
        if (!name) return false;
        const int declared = PyObject_HasAttrWithError(options.child_transform, name);
        if (declared < 0) return false;
        if (!declared) return true;
    }
    if (!funnel::spec_exact_leaf_type(list.element.get(), out.keep)) return false;
    if (!out.keep) return true;
    PyTypeObject* any = primitives::any_type();
    if (!any) return false;
    if (out.keep.get() == builtin_object_type() && Py_TYPE(list.element.get()) == any) {
        out.any_fast = true;
        out.containers = options.child_transform == nullptr;
    } else {
        out.leaf = out.keep.get();
    }
    return true;
}

bool skipped(const SkipRule& rule, PyObject* item) noexcept {
    if (rule.any_fast) return is_any_fast_type(item, rule.containers);
    return rule.leaf && reinterpret_cast<PyObject*>(Py_TYPE(item)) == rule.leaf;
}

py::Ref list_apply(const SpecEngine& engine, py::Ref value, const ApplyOptions& options,
                   PyObject*) {
    const ListKind& list = std::get<ListKind>(engine.kind);
    const bool plain = PyList_CheckExact(value.get());
    if (plain && !options.inplace) {
        value = py::Ref::steal(PyList_GetSlice(value.get(), 0, PY_SSIZE_T_MAX));
        if (!value) return {};
    }

    // A symbolic list is read and written through its own accessors, so a
    // sealed list still takes the applied elements.
    py::Ref writer;
    py::Ref reader;
    if (!plain) {
        PyObject* writer_name = py::intern<"_set_item_without_permission_check">();
        PyObject* reader_name = py::intern<"sym_getattr">();
        if (!writer_name || !reader_name) return {};
        writer = optional_attr(value.get(), writer_name);
        reader = optional_attr(value.get(), reader_name);
    }

    SkipRule rule;
    if (!skip_rule(list, options, rule)) return {};
    const bool with_transform = options.child_transform != nullptr;
    PyObject* callee = with_transform ? list.element_field.get() : list.element.get();

    const Py_ssize_t n = PyObject_Size(value.get());
    if (n < 0) return {};
    for (Py_ssize_t i = 0; i < n; ++i) {
        // User code runs between items and may shrink the list: a plain list
        // is read one item at a time under its lock.
        py::Ref item;
        py::Ref index;
        if (plain) {
            item = py::list_item(value.get(), i);
            if (!item) {
                PyErr_SetString(PyExc_IndexError, "list index out of range");
                return {};
            }
        } else {
            index = py::Ref::steal(PyLong_FromSsize_t(i));
            if (!index) return {};
            item = py::Ref::steal(reader ? PyObject_CallOneArg(reader.get(), index.get())
                                         : PyObject_GetItem(value.get(), index.get()));
            if (!item) return {};
        }
        if (skipped(rule, item.get())) continue;

        py::Ref path = element_path(options, i);
        if (!path) return {};
        py::Ref result = apply_element(callee, item.get(), options, path.get(), with_transform);
        if (!result) return {};
        if (result.get() == item.get()) continue;
        if (writer) {
            PyObject* args[] = {index.get(), result.get()};
            py::Ref done = py::Ref::steal(PyObject_Vectorcall(writer.get(), args, 2, nullptr));
            if (!done) return {};
        } else if (PySequence_SetItem(value.get(), i, result.get()) < 0) {
            return {};
        }
    }
    return value;
}

}  // namespace

PyTypeObject* list_type() {
    static py::TypeCell TYPE;
    PyTypeObject* base = spec_base_type();
    if (!base) return nullptr;
    return TYPE.get([&](py::TypeDef& t) {
        t.name("vesk_core._native.List")
            .doc("List(element_value, default=..., default_factory=None, min_size=None, "
                 "max_size=None, size=None, transform=None, is_noneable=False, frozen=False, "
                 "strict=None, *, min_length=None, max_length=None, symbolic=None, "
                 "auto_wrap=True)\n--\n\n")
            .base(base)
            .final_()
            .slots({py::slot<Py_tp_new, &list_tp_new>()})
            .vectorcall<&list_vectorcall>()
            .methods(methods)
            .getters(getters)
            .class_attr("__serialization_key__", "vesk.typing.List");
    });
}

}  // namespace vesk::typing::containers

namespace vesk::typing {

const KindOps kListOps{
    .label = containers::list_label,
    .serialization_key = containers::list_key,
    .py_class = containers::list_class,
    .repr_cacheable = false,
    .default_wrap_threshold = -1,
    .format_items = containers::list_format_items,
    .shortcut = containers::list_shortcut,
    .apply_kind = containers::list_apply,
    .validate = validate_list_size,
    .deep_clone_payload = containers::list_deep_clone,
    .forward_refs = list_forward_refs,
    .value_type_obj = nullptr,
};

}  // namespace vesk::typing
