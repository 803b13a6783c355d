// ListKey: a range of list indices [min_value, max_value). An unbounded key
// takes its upper bound from the first bounded base it extends.
#include "typing/key_specs/common.hpp"
#include "typing/key_specs/key_specs.hpp"

#include "py/args.hpp"
#include "py/methods.hpp"
#include "py/type.hpp"

#include <optional>

namespace vesk::typing::key_specs {

namespace {

constexpr const char kSerializationKey[] = "vesk.typing.ListKey";

py::TypeCell TYPE;

struct ListKeyState {
    std::int64_t min_value = 0;
    std::optional<std::int64_t> max_value;  // absent: no upper bound
};

using Reading = py::Shared<ListKeyState>;

bool is_list_key(PyObject* obj) noexcept { return PyObject_TypeCheck(obj, TYPE.peek()); }

py::Ref make(PyTypeObject* type, const ListKeyState& r) {
    py::Ref self = py::alloc<ListKeyState>(type);
    if (self) py::state<ListKeyState>(self.get()) = r;
    return self;
}

// A new ListKey (the class itself, never a subclass) holding `r`.
py::Ref copy_of(const ListKeyState& r) {
    PyTypeObject* type = list_key_type();
    return type ? make(type, r) : py::Ref();
}

py::Params<2> kNewSig{"ListKey", {"min_value", "max_value"}, 2, 0};

PyObject* lk_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::TupleArgs<2> a;
    if (!py::parse(kNewSig, args, kwds, a)) return nullptr;
    ListKeyState r;
    if (a[0] && !index_i64("min_value", a[0], r.min_value)) return nullptr;
    if (a[1] && a[1] != Py_None) {
        std::int64_t max = 0;
        if (!index_i64("max_value", a[1], max)) return nullptr;
        // A negative maximum means no upper bound.
        if (max >= 0) r.max_value = max;
    }
    return make(type, r).release();
}

PyObject* lk_str(const Reading& self) {
    char buf[24];
    return PyUnicode_FromFormat("ListKey(min_value=%lld, max_value=%s)",
                                static_cast<long long>(self->min_value),
                                bound_text(self->max_value, buf));
}

PyObject* lk_format(const Reading& self, PyObject* const*, Py_ssize_t, PyObject*) {
    return lk_str(self);
}

using Comparing = py::Shared<ListKeyState, py::Refuse::NotImplemented>;

PyObject* lk_richcompare(const Comparing& self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) return py::not_implemented();
    bool equal = false;
    if (is_list_key(other)) {
        Comparing theirs(other);
        if (!theirs) return theirs.refusal();
        equal = self->min_value == theirs->min_value && self->max_value == theirs->max_value;
    }
    return py::boolean(op == Py_EQ ? equal : !equal);
}

PyObject* lk_min_value(const Reading& self) { return PyLong_FromLongLong(self->min_value); }

PyObject* lk_max_value(const Reading& self) {
    return self->max_value ? PyLong_FromLongLong(*self->max_value) : py::none();
}

PyObject* lk_is_const(PyObject*) { return py::boolean(false); }
PyObject* lk_const_text(PyObject*) { return py::none(); }

// Integer keys of any size are answered: one beyond the 64-bit range lies
// above every minimum and above every maximum.
PyObject* lk_match(const Reading& self, PyObject* key) {
    if (!PyLong_Check(key)) return py::boolean(false);
    const std::optional<IntKey> k = read_int_key(key);
    if (!k) return nullptr;
    switch (k->range) {
        case IntKey::Range::Below: return py::boolean(false);
        case IntKey::Range::Above: return py::boolean(!self->max_value);
        case IntKey::Range::Inside: break;
    }
    return py::boolean(self->min_value <= k->value &&
                       (!self->max_value || k->value < *self->max_value));
}

enum class ExtendOutcome { Accepted, MinSmaller, MaxGreater };

// Decides and, for an unbounded key, stores the base's maximum under one
// exclusive borrow, so no other extension can slip in between the test and
// the store: whatever a caller was told it extends stays true.
PyObject* lk_extend(py::Scoped<ListKeyState> receiver, PyObject* base) {
    PyObject* self = receiver.object();
    if (!is_list_key(base)) return extend_reject(PyExc_TypeError, self, base, ": incompatible type.");
    if (base == self) return py::new_ref(self);
    ListKeyState b;
    {
        Reading theirs(base);
        if (!theirs) return nullptr;
        b = *theirs;
    }
    ExtendOutcome outcome = ExtendOutcome::Accepted;
    {
        auto s = receiver.exclusive();
        if (!s) return nullptr;
        if (s->min_value < b.min_value)
            outcome = ExtendOutcome::MinSmaller;
        else if (!b.max_value)
            outcome = ExtendOutcome::Accepted;
        else if (!s->max_value)
            s->max_value = b.max_value;
        else if (*s->max_value > *b.max_value)
            outcome = ExtendOutcome::MaxGreater;
    }
    switch (outcome) {
        case ExtendOutcome::MinSmaller:
            return extend_reject(PyExc_TypeError, self, base, ": min_value is smaller.");
        case ExtendOutcome::MaxGreater:
            return extend_reject(PyExc_TypeError, self, base, ": max_value is greater.");
        case ExtendOutcome::Accepted: break;
    }
    return py::new_ref(self);
}

PyObject* lk_copy(const Reading& self) { return copy_of(*self).release(); }

PyObject* lk_deepcopy(const Reading& self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kDeepcopyParams, args, nargs, kwnames, a)) return nullptr;
    return lk_copy(self);
}

PyObject* lk_to_json(const Reading& self, PyObject* const*, Py_ssize_t nargs, PyObject*) {
    if (nargs != 0) {
        PyErr_SetString(PyExc_TypeError, "to_json() takes no positional arguments");
        return nullptr;
    }
    py::Ref dict = json_dict(kSerializationKey);
    py::Ref min = py::Ref::steal(PyLong_FromLongLong(self->min_value));
    if (!dict || !min || PyDict_SetItemString(dict.get(), "min_value", min.get()) < 0)
        return nullptr;
    if (self->max_value) {
        py::Ref max = py::Ref::steal(PyLong_FromLongLong(*self->max_value));
        if (!max || PyDict_SetItemString(dict.get(), "max_value", max.get()) < 0) return nullptr;
    }
    return dict.release();
}

// Unlike the constructor, a stored maximum is kept as read, negative or not.
PyObject* lk_from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kFromJsonParams, args, nargs, kwnames, a)) return nullptr;
    py::Ref min, max;
    if (!from_json_field(a[0], "min_value", min) || !from_json_field(a[0], "max_value", max))
        return nullptr;
    ListKeyState r;
    if (min && !index_i64("min_value", min.get(), r.min_value)) return nullptr;
    if (max) {
        std::int64_t v = 0;
        if (!index_i64("max_value", max.get(), v)) return nullptr;
        r.max_value = v;
    }
    return copy_of(r).release();
}

PyMethodDef kMethods[] = {
    py::method<lk_match>("match", kMatchParams),
    py::method<lk_extend>("extend", kExtendParams),
    py::method<lk_copy>("__copy__", kCopyParams),
    py::method<lk_to_json>("to_json", kToJsonParams),
    py::class_method<lk_from_json>("from_json", kFromJsonParams),
    py::method<lk_format>("format", format_doc()),
    py::method<lk_deepcopy>("__deepcopy__", kDeepcopyParams),
    py::kMethodsEnd,
};

PyGetSetDef kGetters[] = {
    py::getter<lk_min_value>("min_value"),
    py::getter<lk_max_value>("max_value"),
    py::getter<lk_is_const>("is_const"),
    py::getter<lk_const_text>("const_text"),
    py::kGettersEnd,
};

}  // namespace

PyTypeObject* list_key_type() {
    return TYPE.get([](py::TypeDef& t) {
        t.name("vesk_core._native.ListKey")
            .state<ListKeyState>()
            .subclassable()
            .slots({
                py::slot<Py_tp_new, lk_new>(),
                py::slot<Py_tp_hash, PyObject_HashNotImplemented>(),
                py::slot<Py_tp_str, lk_str>(),
                py::slot<Py_tp_richcompare, lk_richcompare>(),
            })
            .methods(kMethods)
            .getters(kGetters)
            .class_attr("__vesk_formattable__", Py_True)
            .class_attr("__serialization_key__", kSerializationKey);
    });
}

}  // namespace vesk::typing::key_specs
