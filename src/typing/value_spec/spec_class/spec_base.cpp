// SpecBase: the class every value spec is an instance of, its getters, the
// apply entries, the text forms and the special methods; the members defined
// in the other files of this room are bound here, in one table.
#include "py/args.hpp"
#include "py/deferred.hpp"
#include "py/lazy.hpp"
#include "py/methods.hpp"
#include "typing/bridge.hpp"
#include "typing/schema/dict_spec_facts.hpp"
#include "typing/value_spec/engine/apply.hpp"
#include "typing/value_spec/engine/build.hpp"
#include "typing/value_spec/engine/equality.hpp"
#include "typing/value_spec/engine/format.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"
#include "typing/value_spec/spec_class/surface.hpp"
#include "typing/value_spec/utilities/texts.hpp"
#include "typing/value_spec/utilities/type_args.hpp"

#include <vector>

namespace vesk::typing {

namespace {

py::TypeCell TYPE;

[[nodiscard]] PyObject* or_none(const py::Ref& ref) {
    return py::new_ref(ref ? ref.get() : Py_None);
}
[[nodiscard]] PyObject* null_to_none(PyObject* obj) { return obj == Py_None ? nullptr : obj; }

// The options of an apply entered from Python; `root_path` and
// `child_transform` None mean absent.
[[nodiscard]] ApplyOptions entry_options(PyObject* child_transform, PyObject* root_path,
                                         bool allow_partial, bool inplace) noexcept {
    ApplyOptions options;
    options.child_transform = child_transform ? null_to_none(child_transform) : nullptr;
    options.root_path = root_path ? null_to_none(root_path) : nullptr;
    options.allow_partial = allow_partial;
    options.run_user_transform = true;
    options.inplace = inplace;
    return options;
}

// --- getters ----------------------------------------------------------------

PyObject* get_value_type(const SpecRead& self) {
    py::Ref type;
    if (value_type_obj(*self, type) < 0) return nullptr;
    return or_none(type);
}

PyObject* get_default(const SpecRead& self) { return py::new_ref(self->default_value.get()); }

PyObject* get_default_factory(const SpecRead& self) { return or_none(self->default_factory); }

PyObject* get_transform(const SpecRead& self) { return or_none(self->transform); }

PyObject* get_frozen(const SpecRead& self) { return py::boolean(self->frozen); }

PyObject* get_is_noneable(const SpecRead& self) { return py::boolean(self->is_noneable); }

PyObject* get_strict(const SpecRead& self) { return py::boolean(self->is_strict()); }

PyObject* get_has_default(const SpecRead& self) {
    if (self->default_factory) return py::boolean(true);
    const int missing = is_missing(self->default_value.get());
    if (missing < 0) return nullptr;
    return py::boolean(!missing);
}

PyObject* get_type_resolved(const SpecRead& self) {
    const int resolved = type_resolved(*self);
    if (resolved < 0) return nullptr;
    return py::boolean(resolved);
}

PyObject* get_forward_refs(const SpecRead& self) { return forward_refs(*self).release(); }

PyObject* get_raw_value_type(const SpecRead& self) { return or_none(self->value_type); }

PyObject* get_raw_strict(const SpecRead& self) { return py::new_ref(tri_object(self->strict)); }

// --- apply entries --------------------------------------------------------------

py::Params kApplyParams{
    "apply",
    {"value", "allow_partial=False", "child_transform=None", "root_path=None", "inplace=True"},
    5,
    1};

PyObject* spec_apply(const SpecRead& self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    if (nargs == 1 && !kwnames) {
        // `spec.apply(value)`, the call every field and container makes:
        // every option at its default, no parsing needed.
        return apply(*self, self.object(), py::Ref::borrow(args[0]),
                     entry_options(nullptr, nullptr, false, true))
            .release();
    }
    py::Args<5> a;
    if (!py::parse(kApplyParams, args, nargs, kwnames, a)) return nullptr;
    bool allow_partial, inplace;
    if (!py::opt_bool("allow_partial", a[1], false, allow_partial) ||
        !py::opt_bool("inplace", a[4], true, inplace))
        return nullptr;
    return apply(*self, self.object(), py::Ref::borrow(a[0]),
                 entry_options(a[2], a[3], allow_partial, inplace))
        .release();
}

py::Params kKindApplyParams{
    "_apply", {"value", "allow_partial", "child_transform", "root_path", "inplace=True"}, 5, 4};

// The path text is rendered before the spec is held: only the per-kind step
// runs under the hold.
PyObject* spec_kind_apply(SpecScope self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    py::Args<5> a;
    if (!py::parse(kKindApplyParams, args, nargs, kwnames, a)) return nullptr;
    bool allow_partial, inplace;
    if (!py::arg_bool("allow_partial", a[1], allow_partial) ||
        !py::opt_bool("inplace", a[4], true, inplace))
        return nullptr;
    const ApplyOptions options = entry_options(a[2], a[3], allow_partial, inplace);
    py::Ref path_text = path_text_of(options.root_path);
    if (!path_text) return nullptr;
    auto r = self.shared();
    if (!r) return r.refusal();
    return ops(*r).apply_kind(*r, py::Ref::borrow(a[0]), options, path_text.get()).release();
}

py::Params kValidateParams{"_validate", {"path", "value"}, 2, 2};

PyObject* spec_validate(const SpecRead& self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kValidateParams, args, nargs, kwnames, a)) return nullptr;
    if (validate(*self, a[1], a[0]) < 0) return nullptr;
    return py::none();
}

py::Params kMaterializeParams{"materialize_default", {"allow_partial=False"}, 1, 0};

PyObject* spec_materialize_default(const SpecRead& self, PyObject* const* args,
                                   Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kMaterializeParams, args, nargs, kwnames, a)) return nullptr;
    bool allow_partial;
    if (!py::opt_bool("allow_partial", a[0], false, allow_partial)) return nullptr;
    return materialize(*self, self.object(), allow_partial).release();
}

py::Params kJsonSchemaParams{"to_json_schema", py::Keywords::Ignore};

PyObject* spec_to_json_schema(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    py::Args<0> a;
    if (!py::parse(kJsonSchemaParams, args, nargs, kwnames, a)) return nullptr;
    PyObject* fn = json_schema_fn();
    if (!fn) return nullptr;
    // The keywords go on as they came: the spec, then the keyword values.
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    std::vector<PyObject*> stack(static_cast<std::size_t>(nkw) + 1);
    stack[0] = self;
    for (Py_ssize_t i = 0; i < nkw; ++i) stack[static_cast<std::size_t>(i) + 1] = args[i];
    return PyObject_Vectorcall(fn, stack.data(), 1, kwnames);
}

// --- text forms --------------------------------------------------------------------

// The optional "list_wrap_threshold" among the extra keywords: used when it
// is an int that fits; anything else (another type, an overflow) is dropped
// as if it were absent.
std::optional<std::int64_t> wrap_threshold(const py::ExtraKeywords& extra) {
    for (const py::ExtraKeyword& kw : extra) {
        if (!PyUnicode_Check(kw.name) || !PyUnicode_EqualToUTF8(kw.name, "list_wrap_threshold"))
            continue;
        if (!PyLong_Check(kw.value)) return std::nullopt;
        const long long n = PyLong_AsLongLong(kw.value);
        if (n == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return std::nullopt;
        }
        return n;
    }
    return std::nullopt;
}

py::Params kFormatParams{"format", {"compact=False", "verbose=True", "root_indent=0"}, 3, 0,
                         py::Keywords::Collect};

PyObject* spec_format(const SpecRead& self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    py::Args<3> a;
    if (!py::parse(kFormatParams, args, nargs, kwnames, a)) return nullptr;
    bool compact = false;
    bool verbose = true;
    std::int64_t root_indent = 0;
    if (!py::opt_bool("compact", a[0], false, compact) ||
        !py::opt_bool("verbose", a[1], true, verbose) ||
        (a.given(2) && !py::arg_i64("root_indent", a[2], root_indent)))
        return nullptr;
    return format(*self, compact, verbose, root_indent, wrap_threshold(a.extra())).release();
}

PyObject* spec_str(const SpecRead& self) { return format(*self, false, true, 0, 80).release(); }

PyObject* spec_repr(const SpecRead& self) { return format(*self, true, true, 0, 80).release(); }

// --- comparisons and `|` -------------------------------------------------------------

// `==` and `!=` through spec equality; orderings are not defined, and
// answer before the spec is held.
PyObject* spec_richcompare(SpecScope self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) return py::not_implemented();
    auto r = self.shared();
    if (!r) return r.refusal();
    const int eq = spec_equal(*r, self.object(), other);
    if (eq < 0) return nullptr;
    return py::boolean((eq == 1) == (op == Py_EQ));
}

py::Params kIsCompatibleParams{"is_compatible", {"other"}, 1, 1};

PyObject* spec_is_compatible_method(const SpecRead& self, PyObject* other) {
    const int compatible = spec_compatible(*self, self.object(), other);
    if (compatible < 0) return nullptr;
    return py::boolean(compatible == 1);
}

PyObject* spec_or(PyObject* left, PyObject* right) {
    if (!is_spec(left) && !is_spec(right)) return py::not_implemented();
    return union_getitem(left, right).release();
}

// --- the class ------------------------------------------------------------------

// Specs are made only by the kind classes (their own `__new__`, copies,
// `from_json`); SpecBase itself, and a Python subclass that adds no
// constructor, cannot be instantiated.
PyObject* spec_no_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
    return nullptr;
}

PyGetSetDef getters[] = {
    py::getter<get_value_type>("value_type"),
    py::getter<get_default>("default"),
    py::getter<get_default_factory>("default_factory"),
    py::getter<get_transform>("transform"),
    py::getter<get_frozen>("frozen"),
    py::getter<get_is_noneable>("is_noneable"),
    py::getter<get_strict>("strict"),
    py::getter<get_has_default>("has_default"),
    py::getter<get_type_resolved>("type_resolved"),
    py::getter<get_forward_refs>("forward_refs"),
    py::getter<get_raw_value_type>("_value_type"),
    py::getter<get_default>("_default"),
    py::getter<get_default_factory>("_default_factory"),
    py::getter<get_transform>("_transform"),
    py::getter<get_frozen>("_frozen"),
    py::getter<get_is_noneable>("_is_noneable"),
    py::getter<get_raw_strict>("_strict"),
    py::getter<get_is_any_type>("_is_any_type"),
    py::getter<get_is_inherit_marker>("_is_inherit_marker"),
    py::getter<get_value_type_plain>("_value_type_plain"),
    py::getter<get_has_custom_apply>("_has_custom_apply"),
    py::getter<get_has_custom_validate>("_has_custom_validate"),
    py::getter<get_validate_is_noop>("_validate_is_noop"),
    py::getter<get_annotation>("annotation"),
    py::getter<get_fast_apply_info>("fast_apply_info"),
    py::getter<get_exact_leaf_type>("_exact_leaf_type"),
    py::getter<get_checked_leaf_type>("_checked_leaf_type"),
    py::kGettersEnd,
};

PyMethodDef methods[] = {
    py::method<spec_apply>("apply", kApplyParams),
    py::method<spec_kind_apply>("_apply", kKindApplyParams),
    py::method<spec_validate>("_validate", kValidateParams),
    py::method<spec_set_default>("set_default", kSetDefaultParams),
    py::method<spec_set_default_factory>("set_default_factory", kSetFactoryParams),
    py::method<spec_set_transform>("set_transform", kSetTransformParams),
    py::method<spec_set_strict>("set_strict", kSetStrictParams),
    py::method<spec_materialize_strict>("_materialize_strict", kMaterializeStrictParams),
    py::method<spec_noneable>("noneable", kNoneableParams),
    py::method<spec_freeze>("freeze", kFreezeParams),
    py::method<spec_materialize_default>("materialize_default", kMaterializeParams),
    py::method<spec_extend>("extend", kExtendParams),
    py::method<spec_format>("format", kFormatParams),
    py::method<spec_is_compatible_method>("is_compatible", kIsCompatibleParams),
    py::method<spec_to_json>("to_json", kToJsonParams, "The JSON-ready dict."),
    py::method<spec_to_json_schema>("to_json_schema", kJsonSchemaParams),
    py::kMethodsEnd,
};

void declare(py::TypeDef& t) {
    t.name("vesk_core._native.SpecBase")
        .doc("Base class of every value spec.")
        .state<SpecEngine>()
        .subclassable()
        .slots({
            py::slot<Py_tp_new, spec_no_new>(),
            py::slot<Py_tp_str, spec_str>(),
            py::slot<Py_tp_repr, spec_repr>(),
            py::slot<Py_tp_call, spec_call>(),
            py::slot<Py_nb_or, spec_or>(),
            py::slot<Py_tp_richcompare, spec_richcompare>(),
        })
        .methods(methods)
        .getters(getters)
        .class_attr("__vesk_formattable__", Py_True);
}

}  // namespace

PyTypeObject* spec_base_type() { return TYPE.get(declare); }

PyTypeObject* spec_base_type_if_built() noexcept { return TYPE.peek(); }

py::Ref wrap_engine(PyTypeObject* type, SpecEngine&& engine) {
    SpecEngine taken = std::move(engine);
    py::Ref obj = py::alloc<SpecEngine>(type);
    if (!obj) return {};
    py::state<SpecEngine>(obj.get()) = std::move(taken);
    // A spec is shared by every thread that applies it or binds containers
    // to it: its interpreter stack references (an argument, a loaded name)
    // are not counted (py/deferred.hpp; on the free-threaded build, a spec
    // dropped is freed by the collector's next pass).
    py::defer_counting(obj.get());
    return obj;
}

}  // namespace vesk::typing
