// TupleKey: one fixed tuple position, or, with no index, any position of a
// variable-length tuple. An open key takes the index of the first base it
// extends.
#include "typing/key_specs/common.hpp"
#include "typing/key_specs/key_specs.hpp"

#include "py/args.hpp"
#include "py/methods.hpp"
#include "py/type.hpp"

#include <optional>

namespace vesk::typing::key_specs {

namespace {

constexpr const char kSerializationKey[] = "vesk.typing.TupleKey";

py::TypeCell TYPE;

struct TupleKeyState {
    std::optional<std::int64_t> index;  // absent: any position
};

using Index = std::optional<std::int64_t>;
using Reading = py::Shared<TupleKeyState>;

bool is_tuple_key(PyObject* obj) noexcept { return PyObject_TypeCheck(obj, TYPE.peek()); }

py::Ref make(PyTypeObject* type, Index index) {
    py::Ref self = py::alloc<TupleKeyState>(type);
    if (self) py::state<TupleKeyState>(self.get()).index = index;
    return self;
}

// None or omitted gives no index; anything else is converted.
[[nodiscard]] bool convert_index(PyObject* value, Index& out) {
    out.reset();
    if (!value || value == Py_None) return true;
    std::int64_t v = 0;
    if (!index_i64("index", value, v)) return false;
    out = v;
    return true;
}

py::Params<1> kNewSig{"TupleKey", {"index"}, 1, 0};

PyObject* tk_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::TupleArgs<1> a;
    if (!py::parse(kNewSig, args, kwds, a)) return nullptr;
    Index index;
    if (!convert_index(a[0], index)) return nullptr;
    return make(type, index).release();
}

PyObject* tk_str(const Reading& self) {
    char buf[24];
    return PyUnicode_FromFormat("TupleKey(index=%s)", bound_text(self->index, buf));
}

PyObject* tk_format(const Reading& self, PyObject* const*, Py_ssize_t, PyObject*) {
    return tk_str(self);
}

using Comparing = py::Shared<TupleKeyState, py::Refuse::NotImplemented>;

PyObject* tk_richcompare(const Comparing& self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) return py::not_implemented();
    bool equal = false;
    if (is_tuple_key(other)) {
        Comparing theirs(other);
        if (!theirs) return theirs.refusal();
        equal = self->index == theirs->index;
    }
    return py::boolean(op == Py_EQ ? equal : !equal);
}

PyObject* tk_index(const Reading& self) {
    return self->index ? PyLong_FromLongLong(*self->index) : py::none();
}

PyObject* tk_is_const(PyObject*) { return py::boolean(false); }
PyObject* tk_const_text(PyObject*) { return py::none(); }

// An integer key beyond the 64-bit range equals no stored index; it is
// answered, not refused.
PyObject* tk_match(const Reading& self, PyObject* key) {
    if (!PyLong_Check(key)) return py::boolean(false);
    const std::optional<IntKey> k = read_int_key(key);
    if (!k) return nullptr;
    if (!self->index) return py::boolean(true);
    return py::boolean(k->range == IntKey::Range::Inside && k->value == *self->index);
}

// The test and the store of an open key happen under one exclusive borrow,
// so concurrent extensions are decided one after the other.
PyObject* tk_extend(py::Scoped<TupleKeyState> receiver, PyObject* base) {
    PyObject* self = receiver.object();
    if (!is_tuple_key(base))
        return extend_reject(PyExc_TypeError, self, base, ": incompatible type.");
    if (base == self) return py::new_ref(self);
    Index b;
    {
        Reading theirs(base);
        if (!theirs) return nullptr;
        b = theirs->index;
    }
    bool unmatched = false;
    {
        auto s = receiver.exclusive();
        if (!s) return nullptr;
        if (!s->index)
            s->index = b;
        else
            unmatched = b && *b != *s->index;
    }
    if (unmatched) return extend_reject(PyExc_KeyError, self, base, ": unmatched index.");
    return py::new_ref(self);
}

PyObject* tk_copy(const Reading& self) {
    PyTypeObject* type = tuple_key_type();
    return type ? make(type, self->index).release() : nullptr;
}

PyObject* tk_deepcopy(const Reading& self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kDeepcopyParams, args, nargs, kwnames, a)) return nullptr;
    return tk_copy(self);
}

PyObject* tk_to_json(const Reading& self, PyObject* const*, Py_ssize_t nargs, PyObject*) {
    if (nargs != 0) {
        PyErr_SetString(PyExc_TypeError, "to_json() takes no positional arguments");
        return nullptr;
    }
    py::Ref dict = json_dict(kSerializationKey);
    if (!dict) return nullptr;
    if (self->index) {
        py::Ref v = py::Ref::steal(PyLong_FromLongLong(*self->index));
        if (!v || PyDict_SetItemString(dict.get(), "index", v.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* tk_from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kFromJsonParams, args, nargs, kwnames, a)) return nullptr;
    py::Ref value;
    if (!from_json_field(a[0], "index", value)) return nullptr;
    Index index;
    // A present entry must convert: None is refused like any non-integer.
    if (value) {
        std::int64_t v = 0;
        if (!index_i64("index", value.get(), v)) return nullptr;
        index = v;
    }
    PyTypeObject* type = tuple_key_type();
    return type ? make(type, index).release() : nullptr;
}

PyMethodDef kMethods[] = {
    py::method<tk_match>("match", kMatchParams),
    py::method<tk_extend>("extend", kExtendParams),
    py::method<tk_copy>("__copy__", kCopyParams),
    py::method<tk_to_json>("to_json", kToJsonParams),
    py::class_method<tk_from_json>("from_json", kFromJsonParams),
    py::method<tk_format>("format", format_doc()),
    py::method<tk_deepcopy>("__deepcopy__", kDeepcopyParams),
    py::kMethodsEnd,
};

PyGetSetDef kGetters[] = {
    py::getter<tk_index>("index"),
    py::getter<tk_is_const>("is_const"),
    py::getter<tk_const_text>("const_text"),
    py::kGettersEnd,
};

}  // namespace

PyTypeObject* tuple_key_type() {
    return TYPE.get([](py::TypeDef& t) {
        t.name("vesk_core._native.TupleKey")
            .state<TupleKeyState>()
            .subclassable()
            .slots({
                py::slot<Py_tp_new, tk_new>(),
                py::slot<Py_tp_hash, PyObject_HashNotImplemented>(),
                py::slot<Py_tp_str, tk_str>(),
                py::slot<Py_tp_richcompare, tk_richcompare>(),
            })
            .methods(kMethods)
            .getters(kGetters)
            .class_attr("__vesk_formattable__", Py_True)
            .class_attr("__serialization_key__", kSerializationKey);
    });
}

}  // namespace vesk::typing::key_specs
