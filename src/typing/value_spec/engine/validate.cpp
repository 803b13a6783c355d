// The constraint checks run on an applied value, one per kind that has one.
#include "py/lazy.hpp"
#include "typing/bridge.hpp"
#include "typing/value_spec/engine/apply.hpp"
#include "typing/value_spec/engine/kind_checks.hpp"
#include "typing/value_spec/format.hpp"
#include "typing/value_spec/utils.hpp"

namespace vesk::typing {

int validate(const SpecEngine& engine, PyObject* value, PyObject* root_path) {
    const KindOps& kind = ops(engine);
    return kind.validate ? kind.validate(engine, value, root_path) : 0;
}

int validate_regex(const SpecEngine& engine, PyObject* value, PyObject* root_path) {
    const StrKind* str = kind_as<StrKind>(engine.kind);
    if (!str || !str->regex) return 0;
    PyObject* match_name = py::intern<"match">();
    if (!match_name) return -1;
    py::Ref match =
        py::Ref::steal(PyObject_CallMethodOneArg(str->regex.get(), match_name, value));
    if (!match) return -1;
    if (match.get() != Py_None) return 0;
    py::Ref pattern = py::get_attr<"pattern">(str->regex.get());
    if (!pattern) return -1;
    py::Ref path_text = root_path_str(root_path);
    if (!path_text) return -1;
    PyErr_Format(PyExc_ValueError, "String %R does not match regular expression %R. (path=%S)",
                 value, pattern.get(), path_text.get());
    return -1;
}

namespace {

// `a < b` (op Py_LT) or `a > b` (Py_GT): 1, 0, or -1 with an exception set.
// Exact ints that fit a machine word and exact floats compare natively (no
// user code can take part for exact built-in classes); anything else takes
// the interpreter's comparison.
int compare(PyObject* a, PyObject* b, int op) {
    if (PyLong_CheckExact(a) && PyLong_CheckExact(b)) {
        auto* x = reinterpret_cast<PyLongObject*>(a);
        auto* y = reinterpret_cast<PyLongObject*>(b);
        if (PyUnstable_Long_IsCompact(x) && PyUnstable_Long_IsCompact(y)) {
            const Py_ssize_t u = PyUnstable_Long_CompactValue(x);
            const Py_ssize_t v = PyUnstable_Long_CompactValue(y);
            return op == Py_LT ? u < v : u > v;
        }
    } else if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
        const double u = PyFloat_AS_DOUBLE(a);
        const double v = PyFloat_AS_DOUBLE(b);
        return op == Py_LT ? u < v : u > v;
    }
    return PyObject_RichCompareBool(a, b, op);
}

}  // namespace

int validate_range(const SpecEngine& engine, PyObject* value, PyObject* root_path) {
    const NumberKind* number = kind_as<NumberKind>(engine.kind);
    if (!number) return 0;
    // Both set bounds are compared, so a comparison that fails against the
    // maximum fails the check even when the minimum already refused.
    int below = 0;
    int above = 0;
    if (number->min_value) {
        below = compare(value, number->min_value.get(), Py_LT);
        if (below < 0) return -1;
    }
    if (number->max_value) {
        above = compare(value, number->max_value.get(), Py_GT);
        if (above < 0) return -1;
    }
    if (!below && !above) return 0;
    PyObject* none = py::intern<"None">();
    if (!none) return -1;
    py::Ref path_text = root_path_str(root_path);
    if (!path_text) return -1;
    PyErr_Format(PyExc_ValueError, "Value %S is out of range (min=%S, max=%S). (path=%S)", value,
                 number->min_value ? number->min_value.get() : none,
                 number->max_value ? number->max_value.get() : none, path_text.get());
    return -1;
}

int validate_candidates(const SpecEngine& engine, PyObject* value, PyObject* root_path) {
    const EnumKind* candidates = kind_as<EnumKind>(engine.kind);
    if (!candidates) return 0;
    PyObject* values = candidates->values.get();
    const int found = PySequence_Contains(values, value);
    if (found) return found < 0 ? -1 : 0;
    py::Ref path_text = root_path_str(root_path);
    if (!path_text) return -1;
    PyErr_Format(PyExc_ValueError, "Value %R is not in candidate list %S. (path=%S)", value,
                 values, path_text.get());
    return -1;
}

int validate_list_size(const SpecEngine& engine, PyObject* value, PyObject* root_path) {
    const ListKind* list = kind_as<ListKind>(engine.kind);
    if (!list) return 0;
    const Py_ssize_t n = PyObject_Size(value);
    if (n < 0) return -1;
    if (n < list->min_size) {
        py::Ref path_text = root_path_str(root_path);
        if (!path_text) return -1;
        PyErr_Format(PyExc_ValueError, "Length of list %R is less than min size (%lld). (path=%S)",
                     value, static_cast<long long>(list->min_size), path_text.get());
        return -1;
    }
    if (list->max_size && n > *list->max_size) {
        py::Ref path_text = root_path_str(root_path);
        if (!path_text) return -1;
        PyErr_Format(PyExc_ValueError,
                     "Length of list %R is greater than max size (%lld). (path=%S)", value,
                     static_cast<long long>(*list->max_size), path_text.get());
        return -1;
    }
    return 0;
}

int validate_subclass(const SpecEngine& engine, PyObject* value, PyObject* root_path) {
    const TypeKind* type = kind_as<TypeKind>(engine.kind);
    if (!type) return 0;
    const int resolved = type_resolved(engine);
    if (resolved <= 0) return resolved;
    py::Ref base = type->forward_ref ? py::get_attr<"cls">(type->forward_ref.get()) : type->t;
    if (!base) return -1;
    const int ok = call_is_subclass(value, base.get());
    if (ok) return ok < 0 ? -1 : 0;
    py::Ref path_text = root_path_str(root_path);
    if (!path_text) return -1;
    PyErr_Format(PyExc_ValueError, "%R is not a subclass of %R (path=%S)", value, base.get(),
                 path_text.get());
    return -1;
}

int validate_signature(const SpecEngine& engine, PyObject* value, PyObject* root_path) {
    const CallableKind* callable = kind_as<CallableKind>(engine.kind);
    if (!callable) return 0;
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return -1;
    py::Ref text = repr(engine);
    if (!text) return -1;
    py::Ref path_text = root_path_str(root_path);
    if (!path_text) return -1;
    PyObject* args[] = {callable->args.get(), callable->kw.get(),
                        callable->returns ? callable->returns.get() : Py_None,
                        text.get(), path_text.get(), value};
    py::Ref result =
        py::Ref::steal(PyObject_Vectorcall(bridge->callable_validate.get(), args, 6, nullptr));
    return result ? 0 : -1;
}

}  // namespace vesk::typing
