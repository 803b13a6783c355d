// Tuple: the spec of a Python tuple, either fixed (one element spec per
// position) or variable (one element spec for every item, within optional
// length bounds). The element specs live inside element Fields made through
// the typing bridge's `field_cls` (keyed by TupleKey).
//
// Equal bounds make a fixed form whose positions share the element spec;
// they materialise one field per position, which is capped at
// kMaxFixedPositions. Equal bounds of 0 make the one fixed form without
// positions, which a list of positions given to the constructor cannot
// (an empty list is refused) but the JSON reader can.
#include "py/critical_section.hpp"
#include "py/errors.hpp"
#include "py/lazy.hpp"
#include "typing/bridge.hpp"
#include "typing/key_specs/key_specs.hpp"
#include "typing/value_spec/engine/by_name.hpp"
#include "typing/funnel/container_fast_path.hpp"
#include "typing/value_spec/engine/format.hpp"
#include "typing/value_spec/engine/forward_refs.hpp"
#include "typing/value_spec/kinds/containers.hpp"
#include "typing/value_spec/kinds/element_guard.hpp"
#include "typing/value_spec/kinds.hpp"
#include "typing/value_spec/spec_class/extend_support.hpp"
#include "typing/value_spec/spec_class/json_write.hpp"
#include "typing/value_spec/spec_class/spec_class.hpp"
#include "typing/value_spec/spec_class/whole_spec.hpp"
#include "typing/value_spec/utilities/type_args.hpp"

#include <vector>

namespace vesk::typing {

namespace {

// --- construction -------------------------------------------------------------

// Whether an empty list of positions builds the empty fixed Tuple. Only
// the JSON reader accepts it: that is the form a zero-length fixed Tuple
// (made from equal bounds of 0) writes.
enum class EmptyFixed : bool { Refuse, Accept };

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

// A list or tuple (subclasses included) of annotations is the fixed form,
// one position per item (an empty one is refused unless `empty` says
// otherwise); any other object the variable form, whose equal bounds make a
// fixed form of that many shared positions (at most kMaxFixedPositions).
std::optional<SpecEngine> tuple_new(PyObject* element_values, SizeArgs sizes, SpecCommon common,
                                    EmptyFixed empty = EmptyFixed::Refuse) {
    if (!fold_size_aliases("Tuple", sizes)) return std::nullopt;
    if (PyList_Check(element_values) || PyTuple_Check(element_values))
        return fixed_new(element_values, sizes, std::move(common), empty);
    return variable_new(element_values, sizes, std::move(common));
}

// `Tuple[X, ...]` is the variable form of X; any other arguments the fixed
// form of all of them (an Ellipsis elsewhere included).
py::Ref tuple_from_type_args(PyObject* type_args) {
    PyTypeObject* type = tuple_type();
    if (!type) return {};
    py::Ref items = as_type_args(type_args);
    if (!items) return {};
    PyObject* ellipsis;
    if (!py::imported<"builtins", "Ellipsis">(ellipsis)) return {};
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

py::Params<1> kTypeArgsParams{"with_type_args", {"type_args"}, 1, 1};
py::Params<1> kClassGetitemParams{"__class_getitem__", {"type_args"}, 1, 1};

PyObject* with_type_args(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kTypeArgsParams, args, nargs, kwnames, a)) return nullptr;
    return tuple_from_type_args(a[0]).release();
}

PyObject* class_getitem(PyObject*, PyObject* type_args) {
    return generic_getitem_result(tuple_from_type_args(type_args)).release();
}

// --- getters ----------------------------------------------------------------------

const TupleKind* tuple_in(const SpecRead& self) { return kind_as<TupleKind>(self->kind); }

// The spec's own list, not a copy.
PyObject* get_elements(const SpecRead& self) {
    const TupleKind* t = tuple_in(self);
    return py::new_ref(t ? t->elements.get() : Py_None);
}
PyObject* get_fixed_length(const SpecRead& self) {
    const TupleKind* t = tuple_in(self);
    return t ? py::boolean(t->fixed_length) : py::none();
}
PyObject* get_min_size(const SpecRead& self) {
    const TupleKind* t = tuple_in(self);
    return t ? PyLong_FromLongLong(t->min_size) : py::none();
}
PyObject* get_max_size(const SpecRead& self) {
    const TupleKind* t = tuple_in(self);
    return t ? size_object(t->max_size) : py::none();
}

// len(): the number of positions of a fixed form, 0 for a variable one.
Py_ssize_t tuple_length(const SpecRead& self) {
    const TupleKind* t = tuple_in(self);
    if (!t || !t->fixed_length) return 0;
    return PyList_Size(t->elements.get());
}

PyMethodDef tuple_methods[] = {
    py::class_method<&with_type_args>("with_type_args", kTypeArgsParams),
    py::class_method<&class_getitem>("__class_getitem__", kClassGetitemParams),
    py::kMethodsEnd,
};

PyGetSetDef tuple_getters[] = {
    py::getter<&get_elements>("elements"),
    py::getter<&get_fixed_length>("fixed_length"),
    py::getter<&get_min_size>("min_size"),
    py::getter<&get_max_size>("max_size"),
    py::kGettersEnd,
};

struct TupleClass {
    static constexpr py::Literal kName{"Tuple"};
    static constexpr const char* kParams[] = {
        "element_values", "default=...", "default_factory=None", "min_size=None",
        "max_size=None", "size=None", "transform=None", "is_noneable=False", "frozen=False",
        "strict=None", "min_length=None", "max_length=None"};
    static constexpr Py_ssize_t kPositional = 10, kRequired = 1;

    static std::optional<SpecEngine> make(const py::Args<12>& a, SpecCommon common) {
        SizeArgs sizes;
        if (!read_size_arg("min_size", a[py::param_index(kParams, "min_size")], sizes.min_size) ||
            !read_size_arg("max_size", a[py::param_index(kParams, "max_size")], sizes.max_size) ||
            !read_size_arg("size", a[py::param_index(kParams, "size")], sizes.size) ||
            !read_size_arg("min_length", a[py::param_index(kParams, "min_length")],
                           sizes.min_length) ||
            !read_size_arg("max_length", a[py::param_index(kParams, "max_length")],
                           sizes.max_length))
            return std::nullopt;
        return tuple_new(a[py::param_index(kParams, "element_values")], sizes, std::move(common));
    }
    // An empty list of positions is the form a zero-length fixed Tuple
    // writes, so it is read back although the constructor refuses it.
    static std::optional<SpecEngine> read_json(const JsonRow& row, SpecCommon common) {
        py::Ref element_values;
        if (!row.required<"element_values">("Tuple json missing 'element_values'.",
                                            element_values))
            return std::nullopt;
        SizeArgs sizes;
        if (!read_json_sizes(row, sizes) || !row.transform(common)) return std::nullopt;
        return tuple_new(element_values.get(), sizes, std::move(common), EmptyFixed::Accept);
    }
    static PyMethodDef* methods() { return tuple_methods; }
    static PyGetSetDef* getters() { return tuple_getters; }
    static void slots(py::TypeDef& t) { t.slots({py::slot<Py_mp_length, &tuple_length>()}); }
};

using Class = SpecClass<TupleClass>;

// --- apply ----------------------------------------------------------------------------

const TupleKind& tuple_of(const SpecKind& kind) { return std::get<TupleKind>(kind); }

// The element field at `index` of the payload's list, read under its lock;
// IndexError when the list was shortened through `elements`.
py::Ref field_at(const TupleKind& tuple, Py_ssize_t index) {
    py::Ref field = py::list_item(tuple.elements.get(), index);
    if (!field) PyErr_SetString(PyExc_IndexError, "list index out of range");
    return field;
}

// A tuple whose items are already what the element specs produce is
// accepted whole.
Shortcut tuple_shortcut(const SpecEngine& engine, PyObject* spec_obj, PyObject* value,
                        ApplyOptions& options, py::Ref& out) {
    return funnel::container_shortcut(engine, spec_obj, value, options, out);
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
    // A variable tuple applies every element with one field's spec, held
    // where only this loop runs between elements (an exact tuple, no child
    // transform); each element sees the spec as it is when it is applied. A
    // fixed tuple applies each position's spec once.
    py::Ref shared_callee;
    ElementGuard guard;
    if (!tuple.fixed_length && n > 0) {
        py::Ref field = field_at(tuple, 0);
        if (!field) return {};
        shared_callee = with_transform ? field : py::get_attr<"value">(field.get());
        if (!shared_callee) return {};
        if (!guard.begin(shared_callee.get(), PyTuple_CheckExact(value.get()) && !with_transform))
            return {};
    }
    py::Ref results = py::Ref::steal(PyTuple_New(n));
    if (!results) return {};
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::Ref item = py::Ref::steal(PySequence_GetItem(value.get(), i));
        if (!item) return {};
        py::Ref callee = shared_callee;
        if (!callee) {
            py::Ref field = field_at(tuple, i);
            if (!field) return {};
            callee = with_transform ? field : py::get_attr<"value">(field.get());
            if (!callee) return {};
        }
        py::Ref result =
            apply_indexed_element(guard, callee.get(), item.get(), options, i, with_transform);
        if (!result) return {};
        PyTuple_SET_ITEM(results.get(), i, result.release());  // a new tuple, not yet shared
    }
    return results;
}

// --- the rest of the kind's table -------------------------------------------------------

const KindClass& tuple_class_of(const SpecKind&) { return Class::kClass; }

// The element value specs as the text and JSON forms show them: a new list
// of each position's `value` for a fixed form, the one element's `value`
// for a variable form.
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

// Variable: Tuple(element, default, default_factory, min_size, max_size,
// noneable, frozen, strict). Fixed: Tuple([elements], ...) with the sizes
// never shown (each is omitted when equal to itself).
bool tuple_format_items(SpecItems& items) {
    const TupleKind& tuple = std::get<TupleKind>(items.engine().kind);
    py::Ref positional = tuple_element_values(tuple);
    if (!positional) return false;
    PyObject* zero;
    if (!py::constant_int<0>(zero)) return false;
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

// A fixed form writes the list of its positions' specs (an empty list for
// the zero-length form) and no sizes; a variable form its one element spec
// and its bounds.
bool tuple_write_json(SpecJsonWriter& w, const SpecEngine& e) {
    const TupleKind& t = tuple_of(e.kind);
    py::Ref values = tuple_element_values(t);
    if (!values || !w.conv<"element_values">(values.get())) return false;
    if (!t.fixed_length && !(w.size<"min_size">(t.min_size) && w.size<"max_size">(t.max_size)))
        return false;
    return w.conv_if<"transform">(e.transform) && w.noneable_strict_frozen(e);
}

// A new set with the refs of the `value` of each element field.
py::Ref tuple_forward_refs(const SpecEngine& engine) {
    return forward_refs_of_items(tuple_of(engine.kind).elements.get(), RefsOf::Value);
}

// tuple[A1, ..., An] for a fixed form, tuple[X, ...] for a variable one.
py::Ref tuple_annotation(const SpecEngine& e) {
    const TupleKind& t = tuple_of(e.kind);
    PyObject* tuple_cls = reinterpret_cast<PyObject*>(&PyTuple_Type);
    if (t.fixed_length) {
        py::Ref items = annotations_of_items(t.elements.get(), field_value_annotation);
        return items ? subscript(tuple_cls, items.get()) : py::Ref();
    }
    py::Ref field = py::list_item(t.elements.get(), 0);
    if (!field) {
        py::raise_internal("variable-length Tuple has an element field");
        return {};
    }
    py::Ref element = field_value_annotation(field.get());
    if (!element) return {};
    py::Ref args = py::Ref::steal(PyTuple_Pack(2, element.get(), Py_Ellipsis));
    return args ? subscript(tuple_cls, args.get()) : py::Ref();
}

bool tuple_strict_children(const SpecEngine& e, std::vector<py::Ref>& out) {
    return append_field_values(tuple_of(e.kind).elements.get(), out);
}

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

int tuple_equal(const SpecEngine& engine, PyObject* other) {
    const TupleKind& k = tuple_of(engine.kind);
    std::int64_t min_size;
    std::optional<std::int64_t> max_size;
    if (!attr_size<"min_size">(other, min_size) || !attr_opt_size<"max_size">(other, max_size))
        return -1;
    const int elements = eq_attr<"elements">(k.elements.get(), other);
    if (elements != 1) return elements;
    return (min_size == k.min_size && max_size == k.max_size) ? 1 : 0;
}

// The element spec (`value`) of a tuple's element field.
py::Ref element_spec(PyObject* elements, Py_ssize_t i) {
    py::Ref field = py::list_item(elements, i);
    if (!field) {
        if (!PyErr_Occurred()) py::raise_internal("tuple element index");
        return {};
    }
    return py::get_attr<"value">(field.get());
}

int tuple_compatible(const SpecEngine& engine, PyObject*, PyObject* other) {
    const TupleKind& k = tuple_of(engine.kind);
    const int other_fixed = attr_bool<"fixed_length">(other);
    if (other_fixed < 0) return -1;
    py::Ref theirs = py::get_attr<"elements">(other);
    if (!theirs) return -1;
    py::Ref seq = py::Ref::steal(PySequence_List(theirs.get()));
    if (!seq) return -1;
    const Py_ssize_t n = PyList_GET_SIZE(seq.get());
    if (k.fixed_length) {
        if (!other_fixed || n != PyList_GET_SIZE(k.elements.get())) return 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            py::Ref mine = element_spec(k.elements.get(), i);
            if (!mine) return -1;
            py::Ref field = py::list_item(seq.get(), i);
            if (!field) return PyErr_Occurred() ? -1 : 0;
            const int c = compatible_with_value(mine.get(), field.get());
            if (c != 1) return c;
        }
        return 1;
    }
    py::Ref mine = element_spec(k.elements.get(), 0);
    if (!mine) return -1;
    if (other_fixed) {
        if (k.min_size > n || (k.max_size && *k.max_size < n)) return 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            py::Ref field = py::list_item(seq.get(), i);
            if (!field) return PyErr_Occurred() ? -1 : 0;
            const int c = compatible_with_value(mine.get(), field.get());
            if (c != 1) return c;
        }
        return 1;
    }
    std::int64_t min_size;
    if (!attr_size<"min_size">(other, min_size)) return -1;
    if (min_size < k.min_size) return 0;
    if (k.max_size) {
        std::optional<std::int64_t> max_size;
        if (!attr_opt_size<"max_size">(other, max_size)) return -1;
        if (!max_size || *max_size > *k.max_size) return 0;
    }
    if (n == 0) {
        PyErr_SetString(PyExc_ValueError, "a variable-length tuple spec has no element spec");
        return -1;
    }
    py::Ref field = py::list_item(seq.get(), 0);
    if (!field) return -1;
    return compatible_with_value(mine.get(), field.get());
}

// Item `i` of a sequence of element fields; the child's own list is read
// under its lock, since it is handed out live by `elements`.
py::Ref extended_field_at(PyObject* fields, Py_ssize_t i) {
    if (PyList_Check(fields)) {
        py::Ref item = py::list_item(fields, i);
        if (!item)
            PyErr_SetString(PyExc_IndexError, "tuple element fields changed during extension");
        return item;
    }
    return py::Ref::steal(PySequence_GetItem(fields, i));
}

// Child fields 0 .. n-1 extend base field `i` (same index) or field 0.
int extend_elements(PyObject* own, Py_ssize_t n, PyObject* theirs, bool same_index) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::Ref field = extended_field_at(own, i);
        py::Ref base_field = field ? extended_field_at(theirs, same_index ? i : 0) : py::Ref();
        if (!base_field || extension::call_extend(field.get(), base_field.get()) < 0) return -1;
    }
    return 0;
}

// The forms must agree (fixed over fixed with as many positions, a fixed
// child within a variable base's bounds, a variable child within a variable
// base's); element fields extend the base's while the child is held.
int narrow_tuple(TupleKind& tuple, PyObject* base, const extension::Reprs& reprs) {
    using extension::refuse;
    const int base_fixed = attr_bool<"fixed_length">(base);
    if (base_fixed < 0) return -1;
    py::Ref theirs = py::get_attr<"elements">(base);
    if (!theirs) return -1;
    PyObject* own = tuple.elements.get();
    const Py_ssize_t n = PyList_Size(own);
    if (n < 0) return -1;
    if (tuple.fixed_length && base_fixed) {
        const Py_ssize_t m = PyObject_Length(theirs.get());
        if (m < 0) return -1;
        if (m != n) return refuse(reprs, ": unmatched number of elements.");
        return extend_elements(own, n, theirs.get(), true);
    }
    if (base_fixed)
        return refuse(reprs, ": a variable length tuple cannot extend a fixed length tuple.");
    std::int64_t base_min;
    std::optional<std::int64_t> base_max;
    if (!attr_size<"min_size">(base, base_min) || !attr_opt_size<"max_size">(base, base_max))
        return -1;
    if (tuple.fixed_length) {
        if (base_min > n) return refuse(reprs, " as it has less elements than required.");
        if (base_max && *base_max < n)
            return refuse(reprs, " as it has more elements than required.");
        return extend_elements(own, n, theirs.get(), false);
    }
    if (tuple.min_size != 0 && tuple.min_size < base_min)
        return refuse(reprs, " as it has smaller min size.");
    if (tuple.max_size && base_max && *tuple.max_size > *base_max)
        return refuse(reprs, " as it has greater max size.");
    if (tuple.min_size == 0) tuple.min_size = base_min;
    if (!tuple.max_size) tuple.max_size = base_max;
    return extend_elements(own, 1, theirs.get(), false);
}

int tuple_extend(SpecScope child, PyObject* base) {
    return extension::narrow_payload(
        child, base,
        [base](SpecEngine& engine, const extension::BaseLimits&, const extension::Reprs& reprs) {
            return narrow_tuple(std::get<TupleKind>(engine.kind), base, reprs);
        });
}

}  // namespace

PyTypeObject* tuple_type() { return Class::type(); }

constinit const KindOps TupleKind::ops{
    .class_of = tuple_class_of,
    .repr_cacheable = false,
    .default_wrap_threshold = -1,
    .format_items = tuple_format_items,
    .write_json = tuple_write_json,
    .derived_default = kCommon,
    .keep_default_origin = kCommon,
    .shows_default = kCommon,
    .settle_options = kCommon,
    .shortcut = tuple_shortcut,
    .coerce = kCommon,
    .apply_kind = tuple_apply,
    .validate = kCommon,  // the lengths are checked by the per-kind apply
    .forward_refs = tuple_forward_refs,
    .value_type_obj = kCommon,
    .annotation = tuple_annotation,
    .optional_when_noneable = true,
    .leaf = kCommon,
    .descends = true,
    .constrains = false,
    .strict_children = tuple_strict_children,
    .deep_clone_payload = tuple_deep_clone,
    .equal = tuple_equal,
    .compatible_first = kCommon,
    .compatible = tuple_compatible,
    .call = kCommon,
    .noneable = kCommon,
    .extend = tuple_extend,
};

}  // namespace vesk::typing
