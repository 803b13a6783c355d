// List: the spec of a Python list whose elements all follow one element
// spec, with optional length bounds and the two storage declarations
// (`symbolic`, `auto_wrap`) that symbolic containers read. The element spec
// lives inside an element Field made through the typing bridge's
// `field_cls` (keyed by a ListKey), so everything that walks a container
// spec meets one shape.
#include "py/critical_section.hpp"
#include "py/lazy.hpp"
#include "typing/applied_members.hpp"
#include "typing/bridge.hpp"
#include "typing/change_epoch.hpp"
#include "typing/fast_types.hpp"
#include "typing/int_to_float.hpp"
#include "typing/value_spec/engine/classify.hpp"
#include "typing/meta_epoch.hpp"
#include "typing/funnel/elem_rule.hpp"
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
#include "typing/value_spec/utilities/texts.hpp"
#include "typing/value_spec/utilities/type_args.hpp"

namespace vesk::typing {

namespace {

// --- construction -------------------------------------------------------------

struct ListArgs {
    PyObject* element_value = nullptr;  // an annotation or a spec (borrowed)
    SizeArgs sizes;
    Tri symbolic = Tri::Unset;
    bool auto_wrap = true;
};

// Aliases folded, the element spec from its annotation, the sizes, the
// element Field keyed by ListKey(min, max), then the build.
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

// `List[X]`: exactly one item; the error carries two arguments, the second
// naming the arguments as passed.
py::Ref list_from_type_args(PyObject* type_args) {
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

py::Params<1> kTypeArgsParams{"with_type_args", {"type_args"}, 1, 1};
py::Params<1> kClassGetitemParams{"__class_getitem__", {"type_args"}, 1, 1};

PyObject* with_type_args(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kTypeArgsParams, args, nargs, kwnames, a)) return nullptr;
    return list_from_type_args(a[0]).release();
}

PyObject* class_getitem(PyObject*, PyObject* type_args) {
    return generic_getitem_result(list_from_type_args(type_args)).release();
}

// --- getters ----------------------------------------------------------------------

const ListKind* list_in(const SpecRead& self) { return kind_as<ListKind>(self->kind); }

PyObject* get_element(const SpecRead& self) {
    const ListKind* l = list_in(self);
    return py::new_ref(l ? l->element_field.get() : Py_None);
}
PyObject* get_symbolic(const SpecRead& self) {
    const ListKind* l = list_in(self);
    return py::new_ref(l ? tri_object(l->symbolic) : Py_None);
}
PyObject* get_auto_wrap(const SpecRead& self) {
    const ListKind* l = list_in(self);
    return l ? py::boolean(l->auto_wrap) : py::none();
}
// A list spec offers no nested bulk check: callers apply each element.
PyObject* get_nested_dict_bulk_check(PyObject*) { return py::none(); }
PyObject* get_min_size(const SpecRead& self) {
    const ListKind* l = list_in(self);
    return l ? PyLong_FromLongLong(l->min_size) : py::none();
}
PyObject* get_max_size(const SpecRead& self) {
    const ListKind* l = list_in(self);
    return l ? size_object(l->max_size) : py::none();
}

PyMethodDef list_methods[] = {
    py::class_method<&with_type_args>("with_type_args", kTypeArgsParams),
    py::class_method<&class_getitem>("__class_getitem__", kClassGetitemParams),
    py::kMethodsEnd,
};

PyGetSetDef list_getters[] = {
    py::getter<&get_element>("element"),
    py::getter<&get_symbolic>("symbolic"),
    py::getter<&get_auto_wrap>("auto_wrap"),
    py::getter<&get_element>("_element"),
    py::getter<&get_nested_dict_bulk_check>("_nested_dict_bulk_check"),
    py::getter<&get_min_size>("min_size"),
    py::getter<&get_max_size>("max_size"),
    py::kGettersEnd,
};

struct ListClass {
    static constexpr py::Literal kName{"List"};
    static constexpr const char* kParams[] = {
        "element_value", "default=...", "default_factory=None", "min_size=None", "max_size=None",
        "size=None", "transform=None", "is_noneable=False", "frozen=False", "strict=None",
        "min_length=None", "max_length=None", "symbolic=None", "auto_wrap=True"};
    static constexpr Py_ssize_t kPositional = 10, kRequired = 1;

    static std::optional<SpecEngine> make(const py::Args<14>& a, SpecCommon common) {
        ListArgs args;
        args.element_value = a[py::param_index(kParams, "element_value")];
        if (!read_size_arg("min_size", a[py::param_index(kParams, "min_size")],
                           args.sizes.min_size) ||
            !read_size_arg("max_size", a[py::param_index(kParams, "max_size")],
                           args.sizes.max_size) ||
            !read_size_arg("size", a[py::param_index(kParams, "size")], args.sizes.size) ||
            !read_size_arg("min_length", a[py::param_index(kParams, "min_length")],
                           args.sizes.min_length) ||
            !read_size_arg("max_length", a[py::param_index(kParams, "max_length")],
                           args.sizes.max_length) ||
            !py::opt_bool("auto_wrap", a[py::param_index(kParams, "auto_wrap")], true,
                          args.auto_wrap) ||
            !read_symbolic_arg(a[py::param_index(kParams, "symbolic")], args.symbolic))
            return std::nullopt;
        return list_new(std::move(args), std::move(common));
    }
    static std::optional<SpecEngine> read_json(const JsonRow& row, SpecCommon common) {
        py::Ref element;
        if (!row.required<"element_value">("List json missing 'element_value'.", element))
            return std::nullopt;
        ListArgs args;
        args.element_value = element.get();
        if (!read_json_sizes(row, args.sizes) || !row.transform(common) ||
            !row.tri<"symbolic">(args.symbolic) || row.flag<"auto_wrap">(args.auto_wrap) < 0)
            return std::nullopt;
        return list_new(std::move(args), std::move(common));
    }
    static PyMethodDef* methods() { return list_methods; }
    static PyGetSetDef* getters() { return list_getters; }
};

using Class = SpecClass<ListClass>;

// --- apply ----------------------------------------------------------------------------

const ListKind& list_of(const SpecKind& kind) { return std::get<ListKind>(kind); }

// Without auto_wrap the child transform stops at this list.
void list_settle_options(const SpecEngine& engine, ApplyOptions& options) {
    if (!list_of(engine.kind).auto_wrap) options.child_transform = nullptr;
}

// A list whose elements are already what the element spec produces is
// accepted whole.
Shortcut list_shortcut(const SpecEngine& engine, PyObject* spec_obj, PyObject* value,
                       ApplyOptions& options, py::Ref& out) {
    return funnel::list_shortcut(engine, spec_obj, value, options, out);
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
        PyObject* name;
        if (!py::intern<"_vesk_scalar_identity">(name)) return false;
        const int declared = PyObject_HasAttrWithError(options.child_transform, name);
        if (declared < 0) return false;
        if (!declared) return true;
    }
    if (!funnel::spec_exact_leaf_type(list.element.get(), out.keep)) return false;
    if (!out.keep) return true;
    PyTypeObject* any = any_type();
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

// `int_to_float` called, not inlined: the element loop that calls the
// road below stays as compact as it is without it.
[[gnu::noinline]] py::Ref widened(PyObject* item) { return int_to_float(item); }

// The native element road over a plain list, for a rule whose tests and
// conversions run no Python code: from `i` on, elements the rule matches
// stay, exact ints of a widening rule become floats in place, and the
// first other element ends the road (its index is left in `i`). The list is
// held for the whole road: no Python code runs while it is.
int widen_run(const funnel::ElemRule& rule, PyObject* list, Py_ssize_t& i) {
    py::CriticalSection guard(list);
    const Py_ssize_t n = PyList_GET_SIZE(list);
    for (; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (rule.matches_inline(item)) continue;
        if (!PyLong_CheckExact(item)) return 0;
        py::Ref f = widened(item);
        if (!f) return -1;
        PyList_SET_ITEM(list, i, f.release());
        // The list's reference to the int; releasing an exact int runs no
        // Python code, as the list's own item assignment does under its lock.
        py::Ref replaced = py::Ref::steal(item);
    }
    return 0;
}

// The copy that an apply without `inplace` works on, made in the same pass
// as the widening road above: elements that match are shared, exact ints
// come in as floats, and from the first other element on (its index left in
// `i`) the rest are shared as they are, for the general loop to apply.
// A widening rule is always an exact-class rule (of float), so the loop
// tests the class itself.
[[gnu::noinline]] py::Ref widening_copy(const funnel::ElemRule& rule, PyObject* source,
                                     Py_ssize_t& i) {
    py::CriticalSection guard(source);
    const Py_ssize_t n = PyList_GET_SIZE(source);
    py::Ref copy = py::Ref::steal(PyList_New(n));
    if (!copy) return {};
    const PyObject* cls = rule.payload.get();
    const bool none = rule.allow_none;
    bool road = true;
    for (i = 0; i < n && road; ++i) {
        PyObject* item = PyList_GET_ITEM(source, i);
        const PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(item));
        if (type == cls || (none && item == Py_None)) {
            PyList_SET_ITEM(copy.get(), i, py::Ref::borrow(item).release());
        } else if (type == reinterpret_cast<PyObject*>(&PyLong_Type)) {
            py::Ref f = int_to_float(item);
            if (!f) return {};
            PyList_SET_ITEM(copy.get(), i, f.release());
        } else {
            road = false;
            break;
        }
    }
    for (Py_ssize_t j = i; j < n; ++j)
        PyList_SET_ITEM(copy.get(), j, py::Ref::borrow(PyList_GET_ITEM(source, j)).release());
    return copy;
}

// `writer(index, element)`: the symbolic list's own write of an element
// applied `through` the element field or spec `by` under `allow_partial`,
// which it takes as applied when `by` is its own and the list allows that
// flag: it wraps and adopts it without applying it again. Kept out of the
// element loop.
[[gnu::noinline]] int write_back(PyObject* writer, PyObject* list, PyObject* index,
                                PyObject* element, Applied through, PyObject* by,
                                bool allow_partial) {
    AppliedWriteScope named(list, index, element, through, by, allow_partial);
    PyObject* args[] = {index, element};
    py::Ref done = py::Ref::steal(PyObject_Vectorcall(writer, args, 2, nullptr));
    return done ? 0 : -1;
}

py::Ref list_apply(const SpecEngine& engine, py::Ref value, const ApplyOptions& options,
                   PyObject*) {
    const ListKind& list = std::get<ListKind>(engine.kind);
    const bool plain = PyList_CheckExact(value.get());
    // Another kind of list is read and written back by index: its members
    // are held in place for the pass (a symbolic list refuses other threads'
    // writes, and its own thread's other than the write-backs, meanwhile),
    // so each write-back lands over the member it applied; a pass that fails
    // takes its write-backs back.
    ContainerPassScope held;
    if (!plain && held.begin(value.get(), true) < 0) return {};
    const bool with_transform = options.child_transform != nullptr;
    PyObject* callee = with_transform ? list.element_field.get() : list.element.get();
    // The element spec is held where only this loop runs between elements
    // (a plain list, no child transform); each element sees the spec as it
    // is when it is applied.
    ElementGuard guard;
    if (!guard.begin(callee, plain && !with_transform)) return {};
    // Elements the List's shortcut proved need no apply are not visited
    // again, unless something changed since that proof.
    Py_ssize_t start = plain && value.get() == options.proven_list &&
                               options.proven_epoch == guard.epoch()
                           ? options.proven_prefix
                           : 0;
    // Without a child transform, a plain list's elements go by the element
    // rule first: matched ones stay, converted ones are written back, and
    // only the rest are applied through the interpreter. The rule answers
    // for the specs as they were when it was derived: after an element whose
    // apply ran user code that changed any of them, it is derived again.
    funnel::ElemRule native;
    std::uint64_t rule_epoch = 0;
    bool widening = false;
    bool dicts = false;
    std::optional<field::ReadSection> reading;
    auto derive = [&]() {
        rule_epoch = change_epoch();
        if (plain && !funnel::list_element_rule(list, options, native)) return false;
        widening = native.pure() && native.widen_int;
        // A dict rule (at any depth) reads the fields' compiled records,
        // borrowed for the loop.
        dicts = native.kind == funnel::ElemRule::Kind::ConstKeyDict;
        if (native.kind != funnel::ElemRule::Kind::Slow && !native.pure() && !reading)
            reading.emplace();
        // A rule that reads elements through Python runs user code between
        // elements: the element spec is not held then.
        if (native.calls_back()) guard.release();
        return true;
    };
    if (!derive()) return {};
    // Proven elements of a rule that takes containers are settled by the loop
    // without `inplace` (see below).
    if (!options.inplace && native.needs_copy()) start = 0;
    if (plain && !options.inplace) {
        value = widening ? widening_copy(native, value.get(), start)
                         : py::Ref::steal(PyList_GetSlice(value.get(), 0, PY_SSIZE_T_MAX));
        if (!value) return {};
    }

    // A symbolic list is read and written through its own accessors, so a
    // sealed list still takes the applied elements.
    py::Ref writer;
    py::Ref reader;
    if (!plain) {
        PyObject *writer_name, *reader_name;
        if (!py::intern<"_set_item_without_permission_check">(writer_name) ||
            !py::intern<"sym_getattr">(reader_name))
            return {};
        writer = optional_attr(value.get(), writer_name);
        reader = optional_attr(value.get(), reader_name);
    }

    SkipRule rule;
    if (!skip_rule(list, options, rule)) return {};

    const Py_ssize_t size = PyObject_Size(value.get());
    if (size < 0) return {};
    // Members a symbolic list formalized through this element field as it
    // was built are not applied again.
    const Py_ssize_t n =
        plain ? size : members_to_apply(value.get(), list.element_field.get(), size);
    for (Py_ssize_t i = start; i < n; ++i) {
        if (widening && widen_run(native, value.get(), i) < 0) return {};
        if (i >= n) break;
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
        if (native.kind != funnel::ElemRule::Kind::Slow) {
            // A dict is decided in one pass by its conversion, which also
            // tells a dict taken whole.
            const int matched = dicts ? 0 : native.matches(item.get());
            if (matched < 0) return {};
            if (matched) {
                // Without `inplace` the element's own apply copies what a
                // rule beyond the plain ones took whole.
                if (!options.inplace && native.needs_copy()) {
                    py::Ref settled;
                    if (funnel::settle_item(native, item.get(), settled) < 0) return {};
                    if (settled.get() != item.get() &&
                        PyList_SetItem(value.get(), i, settled.release()) < 0)
                        return {};
                }
                continue;
            }
            py::Ref converted;
            const int c = native.convert(item.get(), options.inplace, converted);
            if (c < 0) return {};
            if (c) {
                if (converted.get() != item.get() &&
                    PyList_SetItem(value.get(), i, converted.release()) < 0)
                    return {};
                continue;
            }
        } else if (skipped(rule, item.get())) {
            continue;
        }

        py::Ref result =
            apply_indexed_element(guard, callee, item.get(), options, i, with_transform);
        if (!result) return {};
        if (native.kind != funnel::ElemRule::Kind::Slow && change_epoch() != rule_epoch &&
            !derive())
            return {};
        if (result.get() == item.get()) continue;
        if (writer) {
            if (write_back(writer.get(), value.get(), index.get(), result.get(),
                           with_transform ? Applied::ThroughField : Applied::ThroughSpec,
                           callee, options.allow_partial) < 0)
                return {};
        } else if (PySequence_SetItem(value.get(), i, result.get()) < 0) {
            return {};
        }
    }
    if (held.commit() < 0) return {};
    return value;
}

// len(value) against min_size, then max_size when set.
int list_validate(const SpecEngine& engine, PyObject* value, PyObject* root_path) {
    const ListKind& list = list_of(engine.kind);
    const Py_ssize_t n = PyObject_Size(value);
    if (n < 0) return -1;
    if (n < list.min_size) {
        py::Ref path_text = path_text_of(root_path);
        if (!path_text) return -1;
        PyErr_Format(PyExc_ValueError, "Length of list %R is less than min size (%lld). (path=%S)",
                     value, static_cast<long long>(list.min_size), path_text.get());
        return -1;
    }
    if (list.max_size && n > *list.max_size) {
        py::Ref path_text = path_text_of(root_path);
        if (!path_text) return -1;
        PyErr_Format(PyExc_ValueError,
                     "Length of list %R is greater than max size (%lld). (path=%S)", value,
                     static_cast<long long>(*list.max_size), path_text.get());
        return -1;
    }
    return 0;
}

// --- the rest of the kind's table -------------------------------------------------------

const KindClass& list_class_of(const SpecKind&) { return Class::kClass; }

// List(element, symbolic, auto_wrap, min_size, max_size, default,
// default_factory, noneable, frozen, strict)
bool list_format_items(SpecItems& items) {
    const ListKind& list = list_of(items.engine().kind);
    PyObject* zero;
    if (!py::constant_int<0>(zero)) return false;
    py::Ref min = py::Ref::steal(PyLong_FromLongLong(list.min_size));
    py::Ref max = py::Ref::steal(size_object(list.max_size));
    if (!min || !max) return false;
    return items.add("", list.element.get(), Py_None) &&
           items.add("symbolic", tri_object(list.symbolic), Py_None) &&
           items.add("auto_wrap", list.auto_wrap ? Py_True : Py_False, Py_True) &&
           items.add("min_size", min.get(), zero) && items.add("max_size", max.get(), Py_None) &&
           items.add_default() && items.add_default_factory() && items.add_noneable() &&
           items.add_frozen() && items.add_strict();
}

bool list_write_json(SpecJsonWriter& w, const SpecEngine& e) {
    const ListKind& l = list_of(e.kind);
    return w.conv<"element_value">(l.element.get()) && w.tri<"symbolic">(l.symbolic) &&
           (l.auto_wrap || w.put<"auto_wrap">(Py_False)) && w.size<"min_size">(l.min_size) &&
           w.size<"max_size">(l.max_size) && w.conv_if<"transform">(e.transform) &&
           w.noneable_strict_frozen(e);
}

// The element spec's own `forward_refs`.
py::Ref list_forward_refs(const SpecEngine& engine) {
    return py::get_attr<"forward_refs">(list_of(engine.kind).element.get());
}

// list[X] with X the element spec's annotation, filled.
py::Ref list_annotation(const SpecEngine& e) {
    py::Ref element = filled_annotation(list_of(e.kind).element.get());
    if (!element) return {};
    return subscript(reinterpret_cast<PyObject*>(&PyList_Type), element.get());
}

bool list_strict_children(const SpecEngine& e, std::vector<py::Ref>& out) {
    out.push_back(list_of(e.kind).element);
    return true;
}

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

int list_equal(const SpecEngine& engine, PyObject* other) {
    const ListKind& list = list_of(engine.kind);
    const int flags = eq_storage_flags(list.symbolic, list.auto_wrap, other);
    if (flags != 1) return flags;
    return eq_attr<"element">(list.element_field.get(), other);
}

// A bounded receiver needs a bound not above its own; the element spec must
// be compatible with the other's element value. The min_size is not compared.
int list_compatible(const SpecEngine& engine, PyObject*, PyObject* other) {
    const ListKind& list = list_of(engine.kind);
    if (list.max_size) {
        std::optional<std::int64_t> theirs;
        if (!attr_opt_size<"max_size">(other, theirs)) return -1;
        if (!theirs || *theirs > *list.max_size) return 0;
    }
    py::Ref element = py::get_attr<"element">(other);
    if (!element) return -1;
    return compatible_with_value(list.element.get(), element.get());
}

// The element field extends the base's; the spec then takes the extended
// field's value and the index range its key now has, one after another,
// while the child is held.
int list_extend(SpecScope child, PyObject* base) {
    return extension::narrow_payload(
        child, base,
        [base](SpecEngine& engine, const extension::BaseLimits&, const extension::Reprs&) {
            ListKind& list = std::get<ListKind>(engine.kind);
            py::Ref base_field = py::get_attr<"element">(base);
            if (!base_field) return -1;
            py::Ref field = list.element_field;
            if (extension::call_extend(field.get(), base_field.get()) < 0) return -1;
            py::Ref element = py::get_attr<"value">(field.get());
            if (!element) return -1;
            list.element = std::move(element);
            py::Ref key = py::get_attr<"key">(field.get());
            if (!key) return -1;
            std::int64_t min_size;
            if (!attr_size<"min_value">(key.get(), min_size)) return -1;
            list.min_size = min_size;
            std::optional<std::int64_t> max_size;
            if (!attr_opt_size<"max_value">(key.get(), max_size)) return -1;
            list.max_size = max_size;
            return 0;
        });
}

}  // namespace

PyTypeObject* list_type() { return Class::type(); }

constinit const KindOps ListKind::ops{
    .class_of = list_class_of,
    .repr_cacheable = false,
    .default_wrap_threshold = -1,
    .format_items = list_format_items,
    .write_json = list_write_json,
    .derived_default = kCommon,
    .keep_default_origin = kCommon,
    .shows_default = kCommon,
    .settle_options = list_settle_options,
    .shortcut = list_shortcut,
    .coerce = kCommon,
    .apply_kind = list_apply,
    .validate = list_validate,
    .forward_refs = list_forward_refs,
    .value_type_obj = kCommon,
    .annotation = list_annotation,
    .optional_when_noneable = true,
    .leaf = kCommon,
    .descends = true,
    .constrains = false,
    .strict_children = list_strict_children,
    .deep_clone_payload = list_deep_clone,
    .equal = list_equal,
    .compatible_first = kCommon,
    .compatible = list_compatible,
    .call = kCommon,
    .noneable = kCommon,
    .extend = list_extend,
};

}  // namespace vesk::typing
