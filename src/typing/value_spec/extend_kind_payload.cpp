// The extension rule by engine kind, for the children no class rule takes
// (Bool, Str, Int, Float, Any, List, Tuple). It runs as one change of the
// child: the bound comparisons and the element-field extensions run while
// the child is held exclusively, so anything that re-enters the child from
// them fails at once instead of seeing a half-extended spec.
#include "py/critical_section.hpp"
#include "typing/value_spec/extend_support.hpp"

#include <cstdint>
#include <optional>

namespace vesk::typing::extension {

namespace {

// What the rule reads of the base before taking the child: the reads that
// fail (a base of another kind has no such attribute) count as absent.
struct BaseLimits {
    py::Ref regex;
    py::Ref min_value;
    py::Ref max_value;
};

py::Ref optional_read(PyObject* base, PyObject* name) {
    if (!name) return {};
    py::Ref value = py::Ref::steal(PyObject_GetAttr(base, name));
    if (!value) PyErr_Clear();
    return value;
}

BaseLimits read_limits(PyObject* base) {
    BaseLimits limits;
    limits.regex = optional_read(base, py::intern<"regex">());
    limits.min_value = optional_read(base, py::intern<"min_value">());
    limits.max_value = optional_read(base, py::intern<"max_value">());
    PyErr_Clear();  // an intern failure counts as a failed read as well
    return limits;
}

[[nodiscard]] bool present(const py::Ref& ref) noexcept { return ref && ref.get() != Py_None; }

// `*own` narrowed by the base's bound: taken when the child has none, else
// `outside` (Py_LT for a lower bound, Py_GT for an upper one) refuses.
int narrow_bound(py::Ref& own, const py::Ref& theirs, int outside, const Reprs& reprs,
                 const char* tail) {
    if (!present(theirs)) return 0;
    if (!own) {
        own = theirs;
        return 0;
    }
    const int out = PyObject_RichCompareBool(own.get(), theirs.get(), outside);
    if (out <= 0) return out;
    return refuse(reprs, tail);
}

// The new bounds are stored only once every check has passed.
int extend_number(NumberKind& number, const BaseLimits& limits, const Reprs& reprs) {
    py::Ref lower = number.min_value;
    py::Ref upper = number.max_value;
    if (narrow_bound(lower, limits.min_value, Py_LT, reprs, ": min_value is smaller.") < 0 ||
        narrow_bound(upper, limits.max_value, Py_GT, reprs, ": max_value is larger.") < 0)
        return -1;
    if (lower && upper) {
        const int crossed = PyObject_RichCompareBool(lower.get(), upper.get(), Py_GT);
        if (crossed < 0) return -1;
        if (crossed)
            return refuse(reprs,
                          ": min_value (%S) is greater than max_value (%S) after extension.",
                          lower.get(), upper.get());
    }
    number.min_value = std::move(lower);
    number.max_value = std::move(upper);
    return 0;
}

[[nodiscard]] bool read_i64(PyObject* obj, PyObject* name, const char* what, std::int64_t& out) {
    if (!name) return false;
    py::Ref value = py::Ref::steal(PyObject_GetAttr(obj, name));
    return value && py::arg_i64(what, value.get(), out);
}

// An optional size: None is absent.
[[nodiscard]] bool read_opt_i64(PyObject* obj, PyObject* name, const char* what,
                                std::optional<std::int64_t>& out) {
    if (!name) return false;
    py::Ref value = py::Ref::steal(PyObject_GetAttr(obj, name));
    if (!value) return false;
    out.reset();
    if (value.get() == Py_None) return true;
    std::int64_t n;
    if (!py::arg_i64(what, value.get(), n)) return false;
    out = n;
    return true;
}

// The element field extends the base's; the spec then takes the extended
// field's value and the index range its key now has, one after another.
int extend_list(ListKind& list, PyObject* base) {
    py::Ref base_field = py::get_attr<"element">(base);
    if (!base_field) return -1;
    py::Ref field = list.element_field;
    if (call_extend(field.get(), base_field.get()) < 0) return -1;
    py::Ref element = py::get_attr<"value">(field.get());
    if (!element) return -1;
    list.element = std::move(element);
    py::Ref key = py::get_attr<"key">(field.get());
    if (!key) return -1;
    std::int64_t min_size;
    if (!read_i64(key.get(), py::intern<"min_value">(), "min_value", min_size)) return -1;
    list.min_size = min_size;
    std::optional<std::int64_t> max_size;
    if (!read_opt_i64(key.get(), py::intern<"max_value">(), "max_value", max_size)) return -1;
    list.max_size = max_size;
    return 0;
}

// Item `i` of a sequence of element fields; the child's own list is read
// under its lock, since it is handed out live by `elements`.
py::Ref field_at(PyObject* fields, Py_ssize_t i) {
    if (PyList_Check(fields)) {
        py::Ref item = py::list_item(fields, i);
        if (!item) PyErr_SetString(PyExc_IndexError, "tuple element fields changed during extension");
        return item;
    }
    return py::Ref::steal(PySequence_GetItem(fields, i));
}

// Child fields 0 .. n-1 extend base field `i` (same index) or field 0.
int extend_elements(PyObject* own, Py_ssize_t n, PyObject* theirs, bool same_index) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::Ref field = field_at(own, i);
        py::Ref base_field = field ? field_at(theirs, same_index ? i : 0) : py::Ref();
        if (!base_field || call_extend(field.get(), base_field.get()) < 0) return -1;
    }
    return 0;
}

int extend_tuple(TupleKind& tuple, PyObject* base, const Reprs& reprs) {
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
    if (!read_i64(base, py::intern<"min_size">(), "min_size", base_min) ||
        !read_opt_i64(base, py::intern<"max_size">(), "max_size", base_max))
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

}  // namespace

int extend_by_engine_kind(PyObject* child, PyObject* base) {
    Reprs reprs;
    if (!reprs.take(child, base)) return -1;
    const BaseLimits limits = read_limits(base);
    return with_base_mut(child, [&](SpecEngine& engine) -> int {
        switch (engine.id()) {
            case KindId::Str: {
                StrKind& str = std::get<StrKind>(engine.kind);
                if (!str.regex && present(limits.regex)) str.regex = limits.regex;
                return 0;
            }
            case KindId::Number:
                return extend_number(std::get<NumberKind>(engine.kind), limits, reprs);
            case KindId::List: return extend_list(std::get<ListKind>(engine.kind), base);
            case KindId::Tuple: return extend_tuple(std::get<TupleKind>(engine.kind), base, reprs);
            default: return 0;
        }
    });
}

}  // namespace vesk::typing::extension
